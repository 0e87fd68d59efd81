#include "user-folder.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStringList>
#include <QSysInfo>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
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

namespace {

// A lock file is a few short lines; more than this is no lock file of ours.
const ssize_t kMaxLockBytes = 4096;

// What a lock file records, one line each: pid, program, host, machine id, boot id and
// (ours only) a token of the run. The first five are what QLockFile writes, so earlier
// launchers' files read the same.
struct LockRecord {
  long long pid = 0;
  std::string program, host, machine, boot;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t from = 0, to; (to = text.find('\n', from)) != std::string::npos; from = to + 1) {
    lines.push_back(text.substr(from, to - from));
  }
  return lines;
}

bool ParseRecord(const std::string& text, LockRecord* record) {
  const std::vector<std::string> lines = Lines(text);
  if (lines.size() < 3) return false;
  record->pid = std::atoll(lines[0].c_str());
  record->program = lines[1];
  record->host = lines[2];
  if (lines.size() > 3) record->machine = lines[3];
  if (lines.size() > 4) record->boot = lines[4];
  return record->pid > 0;
}

// The start of the file open as fd; false when it cannot be read.
bool ReadHead(int fd, std::string* text) {
  char buffer[kMaxLockBytes];
  ssize_t got;
  do {
    got = ::pread(fd, buffer, sizeof buffer, 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return false;
  text->assign(buffer, static_cast<size_t>(got));
  return true;
}

// The file at path, read without blocking or following a link; false when there is none
// or it cannot be read.
bool ReadLockFile(const std::string& path, std::string* text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool read = ReadHead(fd, text);
  ::close(fd);
  return read;
}

std::string ProgramName() {
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "launcher";
  const std::string path(exe, static_cast<size_t>(n));
  return path.substr(path.rfind('/') + 1);
}

// Tells this run's lock file from any other, a launcher of the same pid after a reboot
// or in another PID namespace included.
std::string RunToken() {
  unsigned char bytes[12] = {};
  if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    const long long mixed = static_cast<long long>(::getpid()) ^
                            std::chrono::steady_clock::now().time_since_epoch().count();
    std::memcpy(bytes, &mixed, sizeof mixed);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 15];
  }
  return token;
}

}  // namespace

UpgradeLock::UpgradeLock(const QString& path, int stale_ms, int refresh_ms)
    : path_(path), name_(QFile::encodeName(path).toStdString()), stale_ms_(stale_ms), refresh_ms_(refresh_ms) {}

UpgradeLock::~UpgradeLock() { Release(); }

UpgradeLock::Result UpgradeLock::Acquire(int wait_ms) {
  using std::chrono::milliseconds;
  if (fd_ >= 0) return kLocked;
  if (MakePrivateFolder(QFileInfo(path_).path()) != 0) return kUnavailable;
  const auto deadline = std::chrono::steady_clock::now() + milliseconds(std::max(wait_ms, 0));
  const milliseconds poll(std::min(1000, std::max(10, stale_ms_ / 10)));
  for (;;) {
    const int made = Create();
    if (made > 0) {
      watching_ = false;
      StartRefresher();
      return kLocked;
    }
    if (made < 0) return kUnavailable;
    if (HolderOfThisMachineGone() && RemoveStale(false)) continue;
    if (WatchedGoStale() && RemoveStale(true)) {
      watching_ = false;
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return kBusy;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(poll, deadline - now));
  }
}

int UpgradeLock::Create() {
  const int fd = ::open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return errno == EEXIST ? 0 : -1;
  const std::string record = std::to_string(::getpid()) + "\n" + ProgramName() + "\n" +
                             QSysInfo::machineHostName().toStdString() + "\n" +
                             QSysInfo::machineUniqueId().toStdString() + "\n" +
                             QSysInfo::bootUniqueId().toStdString() + "\n" + RunToken() + "\n";
  struct stat st;
  if (::write(fd, record.data(), record.size()) != static_cast<ssize_t>(record.size()) || ::fstat(fd, &st) != 0) {
    ::close(fd);
    ::unlink(name_.c_str());
    return -1;
  }
  // The native lock tells a taker of this machine (and of file systems that share it)
  // that the holder is alive, whatever the record says.
  ::flock(fd, LOCK_EX | LOCK_NB);
  fd_ = fd;
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  record_ = record;
  return 1;
}

void UpgradeLock::Release() {
  if (fd_ < 0) return;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    releasing_ = true;
    refresh_inline_ = false;
  }
  wake_.notify_all();
  if (refresher_.joinable()) refresher_.join();
  {
    // Takers remove a lock file only under this guard, so none can replace ours between
    // the look and the unlink; without the guard the gap is those two calls.
    QLockFile guard(path_ + QStringLiteral(".rmlock"));
    guard.tryLock(100);
    if (StillOwn()) ::unlink(name_.c_str());
  }
  ::close(fd_);
  fd_ = -1;
}

bool UpgradeLock::StillOwn() const {
  if (fd_ < 0) return false;
  // The record first, the path last: a holder frozen in between looks at the path as it
  // is when it wakes.
  std::string now;
  if (!ReadHead(fd_, &now) || now != record_) return false;
  struct stat st;
  return ::lstat(name_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
}

QString UpgradeLock::Holder() const {
  std::string text;
  if (!ReadLockFile(name_, &text)) return errno == ENOENT ? QStringLiteral("nobody") : QStringLiteral("unknown");
  LockRecord record;
  if (!ParseRecord(text, &record)) return QStringLiteral("unknown");
  return QStringLiteral("pid %1 on host '%2'").arg(record.pid).arg(QString::fromStdString(record.host));
}

void UpgradeLock::RefreshIfDue() {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (!refresh_inline_ || now - last_refresh_ < std::chrono::milliseconds(refresh_ms_)) return;
  last_refresh_ = now;
  Touch();
}

PackageEntry UpgradeLock::LookAtFile() const {
  struct stat st;
  return ::stat(name_.c_str(), &st) == 0 ? EntryOf(name_, st) : PackageEntry();
}

bool UpgradeLock::HolderOfThisMachineGone() const {
  std::string text;
  LockRecord record;
  if (!ReadLockFile(name_, &text) || !ParseRecord(text, &record)) return false;
  if (record.host != QSysInfo::machineHostName().toStdString()) return false;
  if (!record.machine.empty() && record.machine != QSysInfo::machineUniqueId().toStdString()) return false;
  if (!record.boot.empty() && record.boot != QSysInfo::bootUniqueId().toStdString()) return true;  // rebooted since
  if (::kill(static_cast<pid_t>(record.pid), 0) != 0 && errno == ESRCH) return true;
  // A live process of that number that is another program: the number was reused.
  char exe[4096];
  const ssize_t n = ::readlink(("/proc/" + std::to_string(record.pid) + "/exe").c_str(), exe, sizeof exe - 1);
  if (n <= 0) return false;
  const std::string path(exe, static_cast<size_t>(n));
  const std::string program = path.substr(path.rfind('/') + 1);
  return program != record.program && program != record.program + " (deleted)";
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

bool UpgradeLock::RemoveStale(bool watched) {
  // Two launchers that both find the lock stale must not remove the one that the first
  // of them takes next.
  QLockFile remover(path_ + QStringLiteral(".rmlock"));
  if (!remover.tryLock(0)) return false;
  const int fd = ::open(name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  struct stat opened, now;
  bool remove = ::fstat(fd, &opened) == 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                ::lstat(name_.c_str(), &now) == 0 && now.st_dev == opened.st_dev && now.st_ino == opened.st_ino;
  if (remove && watched) remove = LookAtFile() == watched_;  // refreshed after all
  if (remove) remove = ::unlink(name_.c_str()) == 0 || errno == ENOENT;
  ::close(fd);
  return remove;
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
               name_.c_str(), e.code().message().c_str());
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

// Through the file this holder made: a file that another launcher put at the path is
// never touched, and once ours is gone from the path its refresh tells nobody anything.
void UpgradeLock::Touch() { ::futimens(fd_, nullptr); }
