#include "package-upgrade.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "adapter.h"
#include "desktop-notice.h"
#include "file/file-op.h"

#define QV_LOG_FILE "package-upgrade.cpp"
#include "log.h"

namespace {

const int kBackupNames = 10;  // _tmp and _tmp1 to _tmp9
// Names one entry may take in the discard folder, when earlier ones could not be removed.
const int kDiscardNames = 100;
const uint64_t kMinMargin = 16ull * 1024 * 1024;
// Progress is sent as a share of this, so the dialog's integer percentage comes out of
// the pair exactly as it would from bytes.
const int kShareScale = 10000;
const std::chrono::milliseconds kReportInterval(50);

uint64_t RoundUp(uint64_t bytes, uint64_t block) { return (bytes + block - 1) / block * block; }


void AddEntry(const std::string& path, const struct stat& st, uint64_t block, PackageSize* size) {
  size->entries.push_back(EntryOf(path, st));
  if (S_ISDIR(st.st_mode)) {
    size->disk_bytes += block;
    return;
  }
  ++size->files;
  if (S_ISREG(st.st_mode)) {
    size->bytes += static_cast<uint64_t>(st.st_size);
    size->disk_bytes += RoundUp(static_cast<uint64_t>(st.st_size), block);
  } else {
    size->disk_bytes += block;  // a link or another small entry
  }
}

std::string Failure(const char* what, const std::string& path, int err) {
  return std::string("cannot ") + what + " '" + path + "': " + std::generic_category().message(err);
}

// Adds up the folder open as dir_fd, whose path in the package is prefix, looking each
// entry up relative to it: a walk by full paths would resolve every folder above the
// entry again, for each entry. An entry that vanishes under the walk is left out (the
// comparison of two walks tells it); any other failure ends the walk in size->error.
void MeasureFolder(int dir_fd, const std::string& folder, const std::string& prefix, uint64_t block,
                   PackageSize* size) {
  DIR* dir = fdopendir(dir_fd);
  if (dir == nullptr) {
    size->error = Failure("list", folder, errno);
    close(dir_fd);
    return;
  }
  for (;;) {
    errno = 0;
    const struct dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) size->error = Failure("list", folder, errno);
      break;
    }
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    const std::string full = folder + "/" + entry->d_name;
    struct stat st;
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      size->error = Failure("look at", full, errno);
      break;
    }
    const std::string path = prefix.empty() ? std::string(entry->d_name) : prefix + "/" + entry->d_name;
    AddEntry(path, st, block, size);
    if (!S_ISDIR(st.st_mode)) continue;
    const int child = openat(dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0) {
      if (errno == ENOENT) continue;
      size->error = Failure("open", full, errno);
      break;
    }
    MeasureFolder(child, full, path, block, size);
    if (!size->error.empty()) break;
  }
  closedir(dir);
}

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Gives the owner full access to the folder path when it is ours (not a link to one);
// false when it is not such a folder.
bool OpenFolderToOwner(const ustring& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return false;
  if ((st.st_mode & S_IRWXU) != S_IRWXU) chmod(path.c_str(), (st.st_mode & 07777) | S_IRWXU);
  return true;
}

// The same for path and every folder of ours below it, without following links.
void OpenFoldersToOwner(const ustring& path) {
  if (!OpenFolderToOwner(path)) return;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return;
  while (const struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) OpenFoldersToOwner(path + "/" + entry->d_name);
  }
  closedir(dir);
}

void LogLeftover(const ustring& path) {
  QVLOG_INFO("service_debug", "removing '%s', left by an interrupted upgrade\n", path.c_str());
}

void RemoveLeftover(const ustring& app_dir, const ustring& path) {
  LogLeftover(path);
  DiscardPath(app_dir, path);
}

// The token of this run's staging and ready names: random, so that no other launcher,
// of this machine or another, ever has the same one.
std::string& RunSuffix() {
  static std::string suffix = [] {
    unsigned char bytes[8] = {};
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
      const uint64_t mixed = static_cast<uint64_t>(getpid()) << 32 ^
                             static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
      std::memcpy(bytes, &mixed, sizeof bytes);
    }
    char text[2 * sizeof bytes + 1];
    for (size_t i = 0; i < sizeof bytes; ++i) std::snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    return std::string(text);
  }();
  return suffix;
}

// Every entry beside app_dir whose name is the app folder's followed by `kind` (a
// staging or ready name of any run, an older launcher's bare one included), sorted.
std::vector<ustring> NamesOfAnyRun(const ustring& app_dir, const std::string& kind) {
  std::vector<ustring> found;
  const std::string prefix = std::string(FSBaseName(app_dir).c_str()) + kind;
  DIR* dir = opendir(FSParentPath(app_dir).c_str());
  if (dir == nullptr) return found;
  while (const struct dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    if (name.size() == prefix.size() || name[prefix.size()] == '.') {
      found.push_back(FSParentPath(app_dir) + "/" + name.c_str());
    }
  }
  closedir(dir);
  std::sort(found.begin(), found.end(), [](const ustring& a, const ustring& b) {
    return std::strcmp(a.c_str(), b.c_str()) < 0;
  });
  return found;
}

}  // namespace

ustring GetAppBackupDir(const ustring& app_dir, int tries) {
  ustring dir = app_dir + "_tmp";
  if (tries != 0) {
    char postfix[8];
    if (std::snprintf(postfix, sizeof(postfix), "%d", tries) < 0) {
      QVLOG_ERR("service_debug", "snprintf failed (continuing without postfix)");
    } else {
      dir += postfix;
    }
  }
  return dir;
}

void SetRunSuffix(const std::string& suffix) { RunSuffix() = suffix; }

ustring GetAppStagingDir(const ustring& app_dir) { return app_dir + "_staging." + RunSuffix().c_str(); }

ustring GetAppReadyDir(const ustring& app_dir) { return app_dir + "_ready." + RunSuffix().c_str(); }

ustring GetAppDiscardDir(const ustring& app_dir) { return app_dir + "_discard"; }

bool operator==(const PackageEntry& a, const PackageEntry& b) {
  return a.path == b.path && a.dev == b.dev && a.ino == b.ino && a.mode == b.mode && a.size == b.size &&
         SameTime(a.mtime, b.mtime) && SameTime(a.ctime, b.ctime);
}

PackageEntry EntryOf(const std::string& path, const struct stat& st) {
  PackageEntry entry;
  entry.path = path;
  entry.dev = st.st_dev;
  entry.ino = st.st_ino;
  entry.mode = st.st_mode;
  entry.size = st.st_size;
  entry.mtime = st.st_mtim;
  entry.ctime = st.st_ctim;
  return entry;
}

PackageSize MeasurePackage(const ustring& package, const ustring& info, uint64_t block) {
  PackageSize size;
  struct stat st;
  if (lstat(package.c_str(), &st) == 0) {
    AddEntry("", st, block, &size);
    if (S_ISDIR(st.st_mode)) {
      const int dir_fd = open(package.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dir_fd >= 0) {
        MeasureFolder(dir_fd, package.c_str(), "", block, &size);
      } else if (errno != ENOENT) {
        size.error = Failure("open", package.c_str(), errno);
      }
    }
  } else if (errno != ENOENT) {
    size.error = Failure("look at", package.c_str(), errno);
  }
  // The version file lies outside the tree but says which build the tree is.
  if (!info.empty() && size.error.empty()) {
    if (lstat(info.c_str(), &st) == 0) {
      size.entries.push_back(EntryOf("../INFO", st));
    } else if (errno != ENOENT) {
      size.error = Failure("look at", info.c_str(), errno);
    }
  }
  std::sort(size.entries.begin(), size.entries.end(),
            [](const PackageEntry& a, const PackageEntry& b) { return a.path < b.path; });
  return size;
}

std::string PackageChange(const PackageSize& before, const PackageSize& after) {
  auto name = [](const PackageEntry& e) { return "'" + (e.path.empty() ? std::string(".") : e.path) + "'"; };
  size_t i = 0, j = 0;
  const std::vector<PackageEntry>& a = before.entries;
  const std::vector<PackageEntry>& b = after.entries;
  while (i < a.size() || j < b.size()) {
    if (j == b.size() || (i < a.size() && a[i].path < b[j].path)) return name(a[i]) + " vanished";
    if (i == a.size() || b[j].path < a[i].path) return name(b[j]) + " appeared";
    if (!(a[i] == b[j])) return name(a[i]) + " changed";
    ++i;
    ++j;
  }
  return "";
}

bool WaitForPackageToSettle(const ustring& package, const ustring& info, int quiet_ms, int limit_ms,
                            std::string* error, const std::function<void()>& between) {
  PackageSize last = MeasurePackage(package, info, 1);
  for (int waited = 0; last.error.empty() && waited < limit_ms; waited += quiet_ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(quiet_ms));
    if (between) between();
    PackageSize now = MeasurePackage(package, info, 1);
    if (now.error.empty() && PackageChange(last, now).empty()) return true;
    last = std::move(now);
  }
  *error = last.error;
  return false;
}

int CheckRoomForPackage(const ustring& package, const ustring& info, const ustring& folder,
                        PackageSize* size) {
  struct statvfs fs;
  if (statvfs(folder.c_str(), &fs) != 0) {
    QVLOG_ERR("service_debug", "failed to ask the free space of '%s'\n", folder.c_str());
    return -1;
  }
  const uint64_t block = fs.f_frsize > 0 ? fs.f_frsize : 4096;
  *size = MeasurePackage(package, info, block);
  if (!size->error.empty()) {
    QVLOG_ERR("service_debug", "failed to list the package '%s' (%s)\n", package.c_str(), size->error.c_str());
    return -1;
  }

  const uint64_t needed = size->disk_bytes + std::max(size->disk_bytes / 20, kMinMargin);
  const uint64_t free_bytes = static_cast<uint64_t>(fs.f_bavail) * block;
  QVLOG_DEBUG("service_debug", "package '%s': %" PRIu64 " bytes in %" PRIu64 " files\n",
              package.c_str(), size->bytes, size->files);
  if (free_bytes >= needed) return 0;
  QVLOG_ERR("service_debug",
            "not enough free space in '%s' for the package: %" PRIu64 " bytes needed, %" PRIu64
            " bytes free\n",
            folder.c_str(), needed, free_bytes);
  DesktopNotice::ReportNoSpace(folder.c_str(), needed, free_bytes);
  return -1;
}

bool RecoverInterruptedUpgrade(const ustring& app_dir) {
  const ustring parent = FSParentPath(app_dir);
  // Whichever run left them: only the lock's holder recovers, and every other run that
  // made them has died or lost the lock.
  std::vector<ustring> readies = NamesOfAnyRun(app_dir, "_ready");
  const ustring discard = GetAppDiscardDir(app_dir);
  if (IsFileExist(discard, false)) LogLeftover(discard);
  std::vector<ustring> backups;
  for (int i = 0; i < kBackupNames; ++i) {
    if (IsFileExist(GetAppBackupDir(app_dir, i), false)) backups.push_back(GetAppBackupDir(app_dir, i));
  }

  // A copy under the ready name is complete and on disk; a backup is the former app
  // folder, renamed whole.
  bool restored_ready = false;
  if (!IsFileExist(app_dir, false)) {
    ustring found;
    if (!readies.empty()) {
      found = readies.front();
    } else if (!backups.empty()) {
      found = backups.front();
    }
    if (!found.empty()) {
      if (FSRename(found, app_dir, false) == 0) {
        FSSyncEntry(parent);
        QVLOG_INFO("service_debug", "restored '%s' from '%s', left by an interrupted upgrade\n",
                   app_dir.c_str(), found.c_str());
        restored_ready = !readies.empty();
        if (restored_ready) {
          readies.erase(readies.begin());
        } else {
          backups.erase(backups.begin());
        }
      } else {
        QVLOG_ERR("service_debug", "failed to restore '%s' from '%s'\n", app_dir.c_str(),
                  found.c_str());
      }
    }
  }

  for (const ustring& staging : NamesOfAnyRun(app_dir, "_staging")) RemoveLeftover(app_dir, staging);
  if (IsFileExist(app_dir, false)) {
    for (const ustring& ready : readies) RemoveLeftover(app_dir, ready);
  }

  // Beside a copy that came out of the ready name, backups are only the old copy. Beside
  // any other, a backup means the copy at the app path may be half written (a copy into
  // the app folder that was cut short), so it is installed again first.
  bool reinstall = false;
  if (!backups.empty() && IsFileExist(app_dir, false)) {
    if (restored_ready) {
      for (const ustring& backup : backups) RemoveLeftover(app_dir, backup);
    } else {
      QVLOG_INFO("service_debug",
                 "'%s' may be incomplete, '%s' was left by an interrupted upgrade: installing the "
                 "package again\n",
                 app_dir.c_str(), backups.front().c_str());
      reinstall = true;
    }
  }
  EmptyDiscard(app_dir);
  return reinstall;
}

int MakeStagedCopyDurable(const ustring& app_dir, int sync_point) {
  const ustring staging = GetAppStagingDir(app_dir);
  const ustring ready = GetAppReadyDir(app_dir);
  if (FSSyncFileSystem(sync_point, staging) != 0 || FSRename(staging, ready, false) != 0 ||
      FSSyncEntry(FSParentPath(app_dir)) != 0) {
    QVLOG_ERR("service_debug", "failed to make the staged copy '%s' durable\n", staging.c_str());
    return -1;
  }
  return 0;
}

void DiscardPath(const ustring& app_dir, const ustring& path) {
  const ustring discard = GetAppDiscardDir(app_dir);
  if (FSMKDir(discard, false) != 0) {
    RemoveTree(path);
    return;
  }
  // A folder moved to another parent needs write access to itself (its ".." changes),
  // which a copy of a read-only package folder grants to nobody: it is going anyway.
  OpenFolderToOwner(path);
  // An earlier discard that could not be emptied may hold the name: the next one serves.
  for (int i = 0; i < kDiscardNames; ++i) {
    const ustring name = discard + "/" + FSBaseName(path) + (i == 0 ? std::string() : "." + std::to_string(i)).c_str();
    if (rename(path.c_str(), name.c_str()) == 0) return;
    if (errno != EEXIST && errno != ENOTEMPTY && errno != EISDIR && errno != ENOTDIR) break;
  }
  RemoveTree(path);
}

void EmptyDiscard(const ustring& app_dir) { RemoveTree(GetAppDiscardDir(app_dir)); }

void RemoveOwnStagedCopies(const ustring& app_dir) {
  for (const ustring& own : {GetAppStagingDir(app_dir), GetAppReadyDir(app_dir)}) {
    if (IsFileExist(own, false)) RemoveTree(own);
  }
}

void DropStagedCopies(const ustring& app_dir) {
  const ustring staging = GetAppStagingDir(app_dir);
  if (IsFileExist(staging, false) && RemoveTree(staging) != 0) DiscardPath(app_dir, staging);
  if (IsFileExist(GetAppReadyDir(app_dir), false)) DiscardPath(app_dir, GetAppReadyDir(app_dir));
  EmptyDiscard(app_dir);
}

int RemoveTree(const ustring& path) {
  if (FSRemove(path, false) == 0) return 0;
  // The copies keep the package's folder modes, read-only ones too; their owner may
  // still open them up to empty them.
  OpenFoldersToOwner(path);
  return FSRemove(path, false);
}

CopyProgress::CopyProgress(uint64_t total, std::function<void()> tick)
    : tick_(std::move(tick)), total_(total), last_report_(std::chrono::steady_clock::now()) {}

void CopyProgress::Add(uint64_t bytes) {
  if (tick_) tick_();
  std::lock_guard<std::mutex> lock(mutex_);
  done_ += bytes;
  if (total_ == 0) return;
  const int share = static_cast<int>(std::min(done_, total_) * kShareScale / total_);
  if (share == last_share_) return;
  const auto now = std::chrono::steady_clock::now();
  if (share < kShareScale && now - last_report_ < kReportInterval) return;
  last_share_ = share;
  last_report_ = now;
  Notify_Adapter::GetInstance().UpdateProgress(kShareScale, share);
}

CopyPool::CopyPool(CopyProgress* progress, std::function<bool()> stop)
    : progress_(progress), stop_(std::move(stop)) {
  const unsigned cores = std::thread::hardware_concurrency();
  const unsigned count = std::min(4u, std::max(2u, cores));
  for (unsigned i = 0; i < count; ++i) {
    try {
      threads_.emplace_back(&CopyPool::Work, this);
    } catch (const std::system_error& e) {
      // No task to spare (a tight process limit): the pool makes do with the threads it
      // got, and with none the caller copies each batch as it queues it.
      if (i == 0) {
        QVLOG_WARN("service_debug", "cannot start a copy thread (%s), the walk copies the files itself\n",
                   e.code().message().c_str());
      } else {
        QVLOG_WARN("service_debug", "started %u of %u copy threads (%s), copying on those\n", i, count,
                   e.code().message().c_str());
      }
      break;
    }
  }
}

CopyPool::~CopyPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    jobs_.clear();
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

bool CopyPool::Submit(Batch batch) {
  if (batch.empty()) return true;
  if (threads_.empty()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (failed_) return false;
    }
    Copy(batch);
    std::lock_guard<std::mutex> lock(mutex_);
    return !failed_;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) return false;
    jobs_.push_back(std::move(batch));
  }
  wake_.notify_one();
  return true;
}

int CopyPool::Finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return jobs_.empty() && busy_ == 0; });
  return failed_ ? -1 : 0;
}

bool CopyPool::TakeFailure(ustring* src, ustring* dst, int* err) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!failed_ || failure_taken_) return false;
  failure_taken_ = true;
  *src = failure_.first;
  *dst = failure_.second;
  *err = failure_errno_;
  return true;
}

void CopyPool::Copy(const Batch& batch) {
  const FSCopyProgress report = [this](uint64_t bytes) {
    if (progress_ != nullptr) progress_->Add(bytes);
  };
  for (const Batch::value_type& job : batch) {
    const bool stopped = stop_ && stop_();
    if (!stopped && FSCopyToNew(job.first, job.second, true, report) == 0) continue;
    const int err = errno;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failed_) {
      failed_ = true;
      failure_ = job;
      failure_errno_ = err;
      failure_taken_ = stopped;
      jobs_.clear();
    }
    return;
  }
}

void CopyPool::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return closing_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // closing
    Batch batch = std::move(jobs_.front());
    jobs_.pop_front();
    ++busy_;
    lock.unlock();
    Copy(batch);
    lock.lock();
    --busy_;
    if (jobs_.empty() && busy_ == 0) idle_.notify_all();
  }
}
