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

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <system_error>
#include <vector>

#define QV_LOG_FILE "user-folder.cpp"
#include "log.h"

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

UpgradeLock::UpgradeLock(const QString& path, int stale_ms, int refresh_ms)
    : path_(path), lock_(path), stale_ms_(stale_ms), refresh_ms_(refresh_ms) {
  // QLockFile's own rule compares the file's time with this machine's clock, and takes a
  // lock whose time is far enough ahead (another machine's clock, or this one set back)
  // for an old one. Only its check of the holder's process on this machine is kept;
  // Acquire judges staleness by what it watches.
  lock_.setStaleLockTime(0);
}

UpgradeLock::~UpgradeLock() { Release(); }

UpgradeLock::Result UpgradeLock::Acquire(int wait_ms) {
  using std::chrono::milliseconds;
  if (MakePrivateFolder(QFileInfo(path_).path()) != 0) return kUnavailable;
  const auto deadline = std::chrono::steady_clock::now() + milliseconds(std::max(wait_ms, 0));
  const milliseconds poll(std::min(1000, std::max(10, stale_ms_ / 10)));
  for (;;) {
    if (lock_.tryLock(0)) {
      watching_ = false;
      StartRefresher();
      return kLocked;
    }
    if (lock_.error() != QLockFile::LockFailedError) return kUnavailable;
    if (WatchedGoStale() && TakeOverStale()) continue;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return kBusy;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(poll, deadline - now));
  }
}

void UpgradeLock::Release() {
  if (!lock_.isLocked()) return;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    releasing_ = true;
    refresh_inline_ = false;
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

void UpgradeLock::RefreshIfDue() {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (!refresh_inline_ || now - last_refresh_ < std::chrono::milliseconds(refresh_ms_)) return;
  last_refresh_ = now;
  Touch();
}

PackageEntry UpgradeLock::LookAtFile() const {
  const QByteArray name = QFile::encodeName(path_);
  struct stat st;
  return ::stat(name.constData(), &st) == 0 ? EntryOf(name.toStdString(), st) : PackageEntry();
}

bool UpgradeLock::WatchedGoStale() {
  const PackageEntry look = LookAtFile();
  const auto now = std::chrono::steady_clock::now();
  if (!watching_ || !(look == watched_)) {
    // The first look, or the holder has been at it since the last one: watched afresh.
    watching_ = true;
    watched_ = look;
    watched_since_ = now;
    return false;
  }
  return !look.path.empty() && now - watched_since_ >= std::chrono::milliseconds(stale_ms_);
}

bool UpgradeLock::TakeOverStale() {
  // As QLockFile does it: two launchers that both find the lock stale must not remove
  // the one that the first of them takes next.
  QLockFile remover(path_ + QStringLiteral(".rmlock"));
  if (!remover.tryLock(0)) return false;
  if (!(LookAtFile() == watched_)) return false;  // refreshed after all
  watching_ = false;
  return lock_.removeStaleLockFile();
}

void UpgradeLock::StartRefresher() {
  std::lock_guard<std::mutex> guard(mutex_);
  releasing_ = false;
  last_refresh_ = std::chrono::steady_clock::now();
  try {
    refresher_ = std::thread(&UpgradeLock::KeepFresh, this);
  } catch (const std::system_error& e) {
    // No task to spare (a tight process limit): the holder refreshes it as it works.
    refresh_inline_ = true;
    QVLOG_WARN("service_debug", "cannot start the thread that keeps '%s' fresh (%s), refreshing it along the way\n",
               QFile::encodeName(path_).constData(), e.code().message().c_str());
  }
}

void UpgradeLock::KeepFresh() {
  // The lock file's changes are what tell another machine that its holder is still
  // there; an upgrade may well take longer than the stale time, so they go on while it
  // runs.
  std::unique_lock<std::mutex> guard(mutex_);
  while (!wake_.wait_for(guard, std::chrono::milliseconds(refresh_ms_), [this] { return releasing_; })) {
    Touch();
  }
}

void UpgradeLock::Touch() { ::utimensat(AT_FDCWD, QFile::encodeName(path_).constData(), nullptr, 0); }
