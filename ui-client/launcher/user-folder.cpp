#include "user-folder.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <chrono>
#include <cstdlib>
#include <vector>

QString UserHomeFolder() {
  const QByteArray home = qgetenv("HOME");
  if (!home.isEmpty()) return QFile::decodeName(home);

  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  while (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0') return QString();
  return QFile::decodeName(found->pw_dir);
}

bool EnsureHomeVariable() {
  if (!qgetenv("HOME").isEmpty()) return true;
  const QString home = UserHomeFolder();
  if (home.isEmpty()) return false;
  qputenv("HOME", QFile::encodeName(home));
  return true;
}

int MakePrivateFolder(const QString& path, mode_t* loosened) {
  if (loosened != nullptr) *loosened = 0;
  const QString clean = QDir::cleanPath(path);
  // The folders from the first missing one down to path, made one by one: mkdir's mode
  // is cut by the umask, so each gets its mode set afterwards.
  QStringList missing;
  struct stat st;
  QString probe = clean;
  while (::stat(QFile::encodeName(probe).constData(), &st) != 0) {
    if (errno != ENOENT) return -1;
    missing.prepend(probe);
    const QString parent = QFileInfo(probe).path();
    if (parent == probe) break;
    probe = parent;
  }
  if (missing.isEmpty()) {
    if (!S_ISDIR(st.st_mode)) return -1;
    if ((st.st_mode & 077) != 0) {
      if (::chmod(QFile::encodeName(clean).constData(), st.st_mode & 07700) != 0) return -1;
      if (loosened != nullptr) *loosened = st.st_mode & 07777;
    }
    return 0;
  }
  for (const QString& folder : missing) {
    const QByteArray name = QFile::encodeName(folder);
    if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST) return -1;
    // Another process may have made it meanwhile: only a folder is good enough.
    if (::stat(name.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
    if ((st.st_mode & 07777) != 0700 && ::chmod(name.constData(), 0700) != 0) return -1;
  }
  return 0;
}

UpgradeLock::UpgradeLock(const QString& path) : path_(path), lock_(path) {
  lock_.setStaleLockTime(kStaleMs);
}

UpgradeLock::~UpgradeLock() { Release(); }

UpgradeLock::Result UpgradeLock::Acquire(int wait_ms) {
  if (MakePrivateFolder(QFileInfo(path_).path()) != 0) return kUnavailable;
  if (!lock_.tryLock(wait_ms)) {
    return lock_.error() == QLockFile::LockFailedError ? kBusy : kUnavailable;
  }
  releasing_ = false;
  refresher_ = std::thread(&UpgradeLock::KeepFresh, this);
  return kLocked;
}

void UpgradeLock::Release() {
  if (!lock_.isLocked()) return;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    releasing_ = true;
  }
  wake_.notify_all();
  if (refresher_.joinable()) refresher_.join();
  lock_.unlock();
}

QString UpgradeLock::Holder() {
  qint64 pid = 0;
  QString host, app;
  if (!lock_.getLockInfo(&pid, &host, &app)) return QStringLiteral("unknown");
  return QStringLiteral("pid %1 on host '%2'").arg(pid).arg(host);
}

void UpgradeLock::KeepFresh() {
  // The lock file's age is what tells another machine that its holder has gone; an
  // upgrade may well take longer than that, so the age is kept young while it runs.
  const QByteArray name = QFile::encodeName(path_);
  std::unique_lock<std::mutex> guard(mutex_);
  while (!wake_.wait_for(guard, std::chrono::milliseconds(kRefreshMs), [this] { return releasing_; })) {
    ::utimensat(AT_FDCWD, name.constData(), nullptr, 0);
  }
}
