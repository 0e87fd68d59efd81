#include "cloud-service.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QString>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>

#include "desktop-notice.h"
#include "file/file-op.h"
#include "package-upgrade.h"
#include "uipathmanager.h"
#include "user-folder.h"

#define QV_LOG_FILE "cloud-service.cpp"
#include "log.h"

namespace {

const int MAX_RENAME_COUNT = 10;

bool IsUOSDesktop() {
  const char* value = std::getenv("XDG_CURRENT_DESKTOP");
  std::string desktop = value ? value : "ubuntu:GNOME";
  QVLOG_DEBUG("service_debug", "Current Desktop is %s\n", desktop.c_str());
  return desktop == "Deepin";
}

// A version record is a few lines; more than this is no record.
const int kMaxVersionFileBytes = 1 << 20;

// The whole of the file at path in *bytes; false, with errno set, when it cannot be read.
// Neither a pipe nor a device at the path may hold the launcher up: the open does not
// wait for a writer, and what never ends is cut off.
bool ReadWhole(const char* path, QByteArray* bytes) {
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[4096];
  ssize_t got;
  while ((got = ::read(fd, buffer, sizeof buffer)) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 || bytes->size() + got > kMaxVersionFileBytes) {
      const int err = got < 0 ? errno : EFBIG;
      ::close(fd);
      errno = err;
      return false;
    }
    bytes->append(buffer, static_cast<int>(got));
  }
  ::close(fd);
  return true;
}

// Fills the fields of the "Version" section that the INFO file holds; absent keys leave
// their field as it was. 0, also for a missing file (it holds no keys); else the errno
// of the failed read.
//
// QSettings keeps every INI file it has read in a process-wide cache keyed by its path,
// and reads one again only when its size or time changed. An INFO replaced by another
// build's of the same size and time (two builds dated by one commit) would still read
// as the old build. So each read parses a snapshot of the file taken now, in a file in
// memory whose time no earlier snapshot of this process had, through /proc/self/fd.
// (A template: the record type is Service's own, which this file's helpers cannot name.)
template <class Version>
int ReadVersionFile(const ustring& path, Version* version) {
  static std::atomic<long> snapshots{0};
  QByteArray bytes;
  if (!ReadWhole(path.c_str(), &bytes)) return errno == ENOENT ? 0 : errno;
  const int fd = ::memfd_create("INFO", MFD_CLOEXEC);
  if (fd < 0) return errno;
  const long stamp = ++snapshots;
  const struct timespec times[2] = {{stamp, 0}, {stamp, 0}};
  errno = 0;
  if (::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())) != bytes.size() ||
      ::futimens(fd, times) != 0) {
    const int err = errno != 0 ? errno : EIO;
    ::close(fd);
    return err;
  }
  QString snapshot = QStringLiteral("/proc/self/fd/%1").arg(fd);
  // Without /proc the file is read in place, and may come from the cache.
  if (::access(QFile::encodeName(snapshot).constData(), R_OK) != 0) snapshot = QString::fromUtf8(path.c_str());
  // QSettings reads a file that it cannot open as one without keys; the descriptor
  // that it needs is tried first, so that a launcher short of them says so.
  const int probe = ::open(QFile::encodeName(snapshot).constData(), O_RDONLY | O_CLOEXEC);
  if (probe < 0) {
    const int err = errno;
    ::close(fd);
    return err;
  }
  ::close(probe);

  ustring* const fields[4] = {&version->major_version, &version->minor_version, &version->build_version,
                              &version->icon_overlay_version};
  static const char* const kKeys[4] = {"major_version", "minor_version", "build_version",
                                       "icon_overlay_version"};
  {
    QSettings settings(snapshot, QSettings::IniFormat);
    // Qt 5 would read INI files as Latin-1 otherwise.
    settings.setIniCodec("UTF-8");
    settings.beginGroup(QStringLiteral("Version"));
    for (int i = 0; i < 4; ++i) {
      const QString key = QString::fromLatin1(kKeys[i]);
      if (settings.contains(key)) {
        *fields[i] = ustring(settings.value(key).toString().toUtf8().toStdString());
      }
    }
    settings.endGroup();
    if (settings.status() == QSettings::AccessError) {
      ::close(fd);
      return EIO;
    }
  }
  ::close(fd);
  return 0;
}

}  // namespace

ustring PackageSourcePath() { return PathFromTable("root_resource_path") + "/package/skylodge"; }

namespace {

// The system package's version record, beside its tree.
ustring PackageInfoPath() { return PathFromTable("root_resource_path") + "/INFO"; }

// A package that changes while it is copied is copied again once it has been still
// for a second, three times at most.
const int kStageTries = 3;
const int kSettleQuietMs = 1000;
const int kSettleLimitMs = 60000;

// A launcher waits this long for another one's upgrade of the same folder.
const int kLockWaitMs = 180000;

// XDG_DATA_HOME as found on Deepin when it was set but not to an absolute path.
std::optional<std::string> g_ignored_data_home;

// The failed install's line; the old copy (if any) is what stays in place. Both say
// "extract", whatever put the package in place.
void LogFailedInstall(bool old_copy) {
  if (old_copy) {
    QVLOG_ERR("service_debug", "Failed to extract package, rollback to old installation\n");
  } else {
    QVLOG_ERR("service_debug", "Failed to extract package, and no old installation to rollback\n");
  }
}

// The copy line for the queued file that failed, once; none when the lock was lost
// (the new holder's recovery may have removed the folder under the copy).
void LogCopyFailure(CopyPool* pool, bool lost) {
  ustring src, dest;
  int err = 0;
  if (pool->TakeFailure(&src, &dest, &err) && !lost) {
    QVLOG_ERR("service_debug", "FSCopyPath: failed to copy from '%s' to '%s': %s\n", src.c_str(), dest.c_str(),
              std::generic_category().message(err).c_str());
  }
}

}  // namespace

ustring PathFromTable(const char* key) {
  return ustring(
      UIPathManager::getInstance()->getPath(QString::fromLatin1(key)).toUtf8().toStdString());
}

Service::Service() : timeout(0) {}

Service::~Service() = default;

void Service::SetTimeout(int timeout) { this->timeout = timeout; }

QString Service::GetUserInstallPath() {
  if (IsUOSDesktop()) {
    const char* value = std::getenv("XDG_DATA_HOME");
    std::string data_home = value ? value : "";
    QVLOG_DEBUG("service_debug", "user install path is %s\n", data_home.c_str());
    // A relative path would move the install with the working folder; the XDG rules
    // say such a value (and an empty one) is to be ignored.
    if (!data_home.empty() && data_home[0] == '/') return QString::fromUtf8(data_home.c_str());
    if (value != nullptr) g_ignored_data_home = data_home;
  }
  return UserHomeFolder();
}

void LogIgnoredDataHome() {
  if (!g_ignored_data_home) return;
  QVLOG_WARN("service_debug", "XDG_DATA_HOME '%s' is not an absolute path and is ignored, using the home folder\n",
             g_ignored_data_home->c_str());
}

void Service::LockUserFolder() {
  lock_busy = false;
  const ustring path = PathFromTable("user_quenvale_drive_path") + "/upgrade.lock";
  upgrade_lock.reset(new UpgradeLock(QString::fromUtf8(path.c_str())));
  UpgradeLock::Result result = upgrade_lock->Acquire(0);
  if (result == UpgradeLock::kBusy) {
    QVLOG_NOTE("service_debug", "another launcher is upgrading '%s' (%s), waiting for it\n",
               per_user_install_path.c_str(), upgrade_lock->Holder().toUtf8().constData());
    result = upgrade_lock->Acquire(kLockWaitMs);
  }
  switch (result) {
    case UpgradeLock::kLocked:
      break;
    case UpgradeLock::kBusy:
      QVLOG_WARN("service_debug", "'%s' is still locked by %s, not upgrading this time\n", path.c_str(),
                 upgrade_lock->Holder().toUtf8().constData());
      lock_busy = true;
      DesktopNotice::ReportLockBusy();
      break;
    case UpgradeLock::kUnavailable:
      // Most likely the folder cannot be written, and then no upgrade can happen anyway.
      QVLOG_WARN("service_debug", "cannot create the lock '%s', going on without it\n", path.c_str());
      break;
  }
}

void Service::UnlockUserFolder() { upgrade_lock.reset(); }

void Service::KeepLockFresh() {
  if (upgrade_lock) upgrade_lock->RefreshIfDue();
}

bool Service::LostUpgradeLock() {
  if (lock_lost) return true;
  if (!upgrade_lock || !upgrade_lock->IsHeld() || upgrade_lock->StillOwn()) return false;
  if (lock_lost.exchange(true)) return true;
  // Another launcher found the lock stale (this one was frozen, say a laptop suspended
  // mid-upgrade) and took it: its result stands.
  QVLOG_WARN("service_debug",
             "the upgrade lock of '%s' is no longer this launcher's (held by %s now): leaving the upgrade to "
             "that launcher, changing nothing and starting no client\n",
             per_user_install_path.c_str(), upgrade_lock->Holder().toUtf8().constData());
  return true;
}

void Service::ReportFailedUpgrade() {
  const std::string drive = PathFromTable("user_quenvale_drive_path").c_str();
  const ustring app = per_user_install_path;
  const std::vector<std::string> paths = {drive, drive + "/log", app.c_str(), GetAppStagingDir(app).c_str(),
                                          GetAppReadyDir(app).c_str(), GetAppDiscardDir(app).c_str()};
  for (const std::string& path : paths) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && st.st_uid != ::getuid()) {
      DesktopNotice::ReportForeignFolder(path);
      return;
    }
  }
  DesktopNotice::ReportFailure(std::string());
}

bool Service::PackageChangedDuringRun() {
  if (lock_busy || lock_lost) return false;
  VersionInfo now;
  if (ReadVersionFile(PackageInfoPath(), &now) != 0) return false;
  // No build at all (the package being removed) is nothing to upgrade to.
  if (now.build_version.empty() || now.build_version == target_version.build_version) return false;
  QVLOG_NOTE("service_debug", "the package's build is now '%s', not '%s' as at the start of this run: upgrading again\n",
             now.build_version.c_str(), target_version.build_version.c_str());
  return true;
}

void Service::ReportUnreadVersion(const ustring& path, int err) {
  // Short of descriptors or memory, the record says nothing about the build: no upgrade
  // now, and the log says why.
  if (err == EMFILE || err == ENFILE || err == ENOMEM) {
    versions_unknown = true;
    QVLOG_ERR("service_debug", "cannot read '%s': %s, the copy in use stays until the next start\n", path.c_str(),
              std::generic_category().message(err).c_str());
    return;
  }
  QVLOG_WARN("service_debug", "failed to read '%s': %s\n", path.c_str(), std::generic_category().message(err).c_str());
}

void Service::LoadSourceVersion() {
  ustring path = PathFromTable("user_quenvale_drive_resource_path") + "/INFO";
  if (!IsFileExist(path, false)) {
    QVLOG_INFO("service_debug", "source does not exist\n");
    return;
  }
  if (const int err = ReadVersionFile(path, &source_version)) ReportUnreadVersion(path, err);
  QVLOG_INFO("service_debug", "source_version = (%s, %s, %s, %s)\n",
             source_version.major_version.c_str(), source_version.minor_version.c_str(),
             source_version.build_version.c_str(), source_version.icon_overlay_version.c_str());
}

void Service::LoadTargetVersion() {
  // Read first of the two, at every decision.
  versions_unknown = false;
  // No existence test: a missing file reads as one without keys.
  ustring path = PackageInfoPath();
  if (const int err = ReadVersionFile(path, &target_version)) ReportUnreadVersion(path, err);
  QVLOG_INFO("service_debug", "target_version = (%s, %s, %s, %s)\n",
             target_version.major_version.c_str(), target_version.minor_version.c_str(),
             target_version.build_version.c_str(), target_version.icon_overlay_version.c_str());
}

int Service::StagePackage() {
  const ustring app_dir = per_user_install_path;
  for (int attempt = 1;; ++attempt) {
    std::string change;
    const int rc = StagePackageOnce(&change);
    if (change.empty() || LostUpgradeLock()) return rc;
    // The system package is being replaced (a package upgrade unpacks it file by file):
    // what was copied may mix two builds and must never become the user's copy.
    DropStagedCopies(app_dir);
    if (attempt == kStageTries) {
      QVLOG_ERR("service_debug",
                "the package '%s' kept changing while it was copied (%s), the copy in use stays "
                "until the next start\n",
                PackageSourcePath().c_str(), change.c_str());
      return -1;
    }
    QVLOG_WARN("service_debug", "the package '%s' changed while it was copied (%s), copying it again\n",
               PackageSourcePath().c_str(), change.c_str());
    std::string error;
    if (!WaitForPackageToSettle(PackageSourcePath(), PackageInfoPath(), kSettleQuietMs, kSettleLimitMs, &error,
                                [this] { KeepLockFresh(); })) {
      if (!error.empty()) {
        QVLOG_ERR("service_debug", "failed to list the package '%s' (%s), the copy in use stays until the next start\n",
                  PackageSourcePath().c_str(), error.c_str());
      } else {
        QVLOG_ERR("service_debug",
                  "the package '%s' kept changing for %d s, the copy in use stays until the next "
                  "start\n",
                  PackageSourcePath().c_str(), kSettleLimitMs / 1000);
      }
      return -1;
    }
    LoadTargetVersion();
  }
}

int Service::StagePackageOnce(std::string* change) {
  const ustring app_dir = per_user_install_path;
  DropStagedCopies(app_dir);
  // The copy goes into a folder it makes itself; whatever still stands at the name is
  // not written into.
  const ustring staging = GetAppStagingDir(app_dir);
  if (IsFileExist(staging, false)) {
    QVLOG_ERR("service_debug", "'%s' was left by an earlier upgrade and can be neither removed nor moved aside, "
              "the copy in use stays\n", staging.c_str());
    return -1;
  }

  // Checked before anything changes: a copy that cannot fit would only stop the
  // client and then fail. The same walk records what the package is now.
  const ustring folder = FSParentPath(app_dir);
  MakePrivateFolder(QString::fromUtf8(folder.c_str()));
  PackageSize size;
  if (CheckRoomForPackage(PackageSourcePath(), PackageInfoPath(), folder, &size) != 0) return -1;

  // Opened before the first byte is written, so that the flush below hears of a
  // write-back error at any time during the copy.
  const int sync_point = FSOpenSyncPoint(folder);
  CopyProgress progress(size.bytes, [this] { KeepLockFresh(); });
  copy_progress = &progress;
  const int copied = sync_point < 0 ? -1 : CopyPackage();
  copy_progress = nullptr;
  if (LostUpgradeLock()) {
    // The folder it copied into may have been removed by the new holder's recovery:
    // whatever failed there is no failure.
    if (sync_point >= 0) ::close(sync_point);
    RemoveOwnStagedCopies(app_dir);
    return -1;
  }

  // The copy is one build only if nothing in the package changed from the walk before
  // it to the walk after it, and the build is still the one the decision was made on. A
  // check that cannot be made tells nothing: the copy is not used, and no change is
  // claimed.
  const PackageSize after = MeasurePackage(PackageSourcePath(), PackageInfoPath(), 1);
  std::string unchecked = after.error;
  if (unchecked.empty()) *change = PackageChange(size, after);
  if (unchecked.empty() && change->empty()) {
    VersionInfo now;
    if (const int err = ReadVersionFile(PackageInfoPath(), &now)) {
      unchecked = "cannot read '" + std::string(PackageInfoPath().c_str()) + "': " + std::generic_category().message(err);
    } else if (now.build_version != target_version.build_version) {
      *change = "its build is now '" + std::string(now.build_version.c_str()) + "', not '" +
                target_version.build_version.c_str() + "'";
    }
  }
  if (copied != 0 || !change->empty() || !unchecked.empty()) {
    if (sync_point >= 0) ::close(sync_point);
    if (!unchecked.empty()) {
      QVLOG_ERR("service_debug", "failed to check the package '%s' after the copy (%s), the copy is not used\n",
                PackageSourcePath().c_str(), unchecked.c_str());
    }
    if (change->empty()) {
      LogFailedInstall(IsFileExist(app_dir, false));
      DropStagedCopies(app_dir);
    }
    return -1;
  }
  if (MakeStagedCopyDurable(app_dir, sync_point) != 0) {
    DropStagedCopies(app_dir);
    return -1;
  }
  staged = true;
  return 0;
}

int Service::PrepareUserEnv() {
  if (!staged && StagePackage() != 0) return -1;
  staged = false;

  ustring app_dir = per_user_install_path;
  const ustring ready = GetAppReadyDir(app_dir);
  ustring backup_dir;
  int rename_count = 0;

  if (IsFileExist(app_dir, false)) {
    // A backup left by an interrupted run blocks its name; fall to the next one.
    while (true) {
      if (LostUpgradeLock()) {
        RemoveOwnStagedCopies(app_dir);
        return -1;
      }
      backup_dir = GetAppBackupDir(app_dir, rename_count);
      if (FSRename(app_dir, backup_dir, false) == 0) break;
      // A name that is taken is no failure: the next one serves.
      if (errno == EEXIST || errno == ENOTEMPTY || errno == EISDIR || errno == ENOTDIR) {
        QVLOG_DEBUG("service_debug", "'%s' is taken, setting the old copy aside under the next name\n",
                    backup_dir.c_str());
      } else {
        QVLOG_ERR("service_debug", "failed to backup app from '%s' -> '%s'\n", app_dir.c_str(),
                  backup_dir.c_str());
      }
      if (++rename_count >= MAX_RENAME_COUNT) {
        QVLOG_ERR("service_debug", "failed to backup app from '%s' -> '%s' at max retries, exiting\n",
                  app_dir.c_str(), backup_dir.c_str());
        DropStagedCopies(app_dir);
        return -1;
      }
    }
  }

  // Each rename leaves a whole copy, old or new, at the app path or under a name that
  // the next start puts back there.
  const ustring folder = FSParentPath(app_dir);
  if (LostUpgradeLock()) {
    // The old copy, set aside, is the new holder's to put back (its recovery does).
    RemoveOwnStagedCopies(app_dir);
    return -1;
  }
  if (FSRename(ready, app_dir, false) != 0 || FSSyncEntry(folder) != 0) {
    QVLOG_ERR("service_debug", "failed to put '%s' in place of '%s'\n", ready.c_str(), app_dir.c_str());
    LogFailedInstall(!backup_dir.empty());
    if (!backup_dir.empty()) {
      if (IsFileExist(app_dir, false)) DiscardPath(app_dir, app_dir);
      FSRename(backup_dir, app_dir, false);
      FSSyncEntry(folder);
    }
    DropStagedCopies(app_dir);
    EmptyDiscard(app_dir);
    return -1;
  }

  // The backups are only set aside here; the client is started before they are
  // removed (EmptyDiscard), so their removal does not keep it down.
  QVLOG_INFO("service_debug", "user installation is ready, removing backup app\n");
  kept_copy = ustring();
  for (int i = 0; i < MAX_RENAME_COUNT && !LostUpgradeLock(); ++i) {
    const ustring backup = GetAppBackupDir(app_dir, i);
    if (keep_old_copy && backup == backup_dir) {
      kept_copy = backup;
    } else if (IsFileExist(backup, false)) {
      DiscardPath(app_dir, backup);
    }
  }
  reinstall = false;
  return 0;
}

int Service::CopyPackage() {
  ustring src = PackageSourcePath();
  ustring dest = GetAppStagingDir(PathFromTable("user_quenvale_drive_app_path"));
  QVLOG_INFO("service_debug", "copy package:'%s' -> '%s' \n", src.c_str(), dest.c_str());
  return FSCopyPath(src, dest);
}

int Service::FSCopyPath(const ustring& src, const ustring& dest) {
  if (copy_pool == nullptr) {
    // The outermost call: the walk makes the folders and links and queues the files,
    // which a few threads copy meanwhile, until the walk finds that the lock is no longer
    // this launcher's (it looks at each folder; the threads only ask what it found).
    CopyPool pool(copy_progress, [this] { return lock_lost.load(); });
    copy_pool = &pool;
    folder_modes.clear();
    int result = FSCopyPath(src, dest);
    copy_pool = nullptr;
    if (pool.Finish() != 0) {
      LogCopyFailure(&pool, LostUpgradeLock());
      result = -1;
    }
    // The folders were made writable for their contents; now that these are in place,
    // each gets the package's mode, a read-only one too.
    for (auto it = folder_modes.rbegin(); result == 0 && it != folder_modes.rend(); ++it) {
      if (::chmod(it->first.c_str(), it->second) != 0) {
        QVLOG_ERR("service_debug", "FSCopyPath: failed to set the mode of '%s'\n", it->first.c_str());
        result = -1;
      }
    }
    folder_modes.clear();
    return result;
  }

  QVLOG_DEBUG("service_debug", "copy from '%s' to '%s'\n", src.c_str(), dest.c_str());

  FILE_INFO info;
  if (FSStat(src, info, false) < 0) {
    QVLOG_ERR("service_debug", "FSCopyPath: failed to stat source '%s'\n", src.c_str());
    return -1;
  }
  if (!info.isExist) {
    QVLOG_ERR("service_debug", "FSCopyPath: source path '%s' does not exist\n", src.c_str());
    return -1;
  }
  // No flush per file: the whole copy is made durable at once when it is complete.
  if (info.type != FT_DIR) {
    FSCopyProgress progress;
    if (copy_progress != nullptr) progress = [this](uint64_t bytes) { copy_progress->Add(bytes); };
    if (FSCopyToNew(src, dest, false, progress) == 0) return 0;
    if (!LostUpgradeLock()) {
      QVLOG_ERR("service_debug", "FSCopyPath: failed to copy from '%s' to '%s': %s\n", src.c_str(), dest.c_str(),
                std::generic_category().message(errno).c_str());
    }
    return -1;
  }

  // Every entry of the copy is made here and now, a folder too: one found at the name
  // (left by an earlier run, with who knows what links in it) would have the copy write
  // through them into other files.
  if (LostUpgradeLock()) return -1;
  if (::mkdir(dest.c_str(), 0700) != 0) {
    if (!LostUpgradeLock()) QVLOG_ERR("service_debug", "FSCopyPath: failed to create dest folder '%s'\n", dest.c_str());
    return -1;
  }
  folder_modes.emplace_back(dest, static_cast<mode_t>(info.mode & 07777));

  DIR_HANDLE dh;
  if (FSOpenDir(src, 0, dh) < 0) {
    // An unreadable folder is not an empty one: counting it as copied would install a
    // hollow copy and then delete the user's backup.
    QVLOG_WARN("service_debug", "FSCopyPath: failed to create handle  for src '%s' failed\n",
               src.c_str());
    return -1;
  }

  // Refused once a queued copy has failed.
  CopyPool::Batch files;
  auto queue_files = [this, &files]() {
    const bool queued = copy_pool->Submit(std::move(files));
    files.clear();
    return queued;
  };
  int result = 0;
  DIR_ENTRY entry;
  while (result == 0 && FSReadDir(dh, entry) > 0) {
    if (entry.name == "." || entry.name == "..") continue;
    ustring child_src = src + "/" + entry.name;
    ustring child_dest = dest + "/" + entry.name;
    int rc = 0;
    if (entry.type == FT_DIR) {
      rc = FSCopyPath(child_src, child_dest);
    } else if (entry.type == FT_SLINK) {
      // A link stays a link, as in the package: copying what it points to would turn a
      // link to a folder or a dangling one into a failed install.
      ustring target;
      rc = FSReadSymbolicLink(child_src, target) == 0 ? FSCreateSymbolicLink(target, child_dest) : -1;
    } else {
      files.emplace_back(child_src, child_dest);
      if (files.size() >= CopyPool::kBatchFiles && !queue_files()) {
        LogCopyFailure(copy_pool, LostUpgradeLock());
        result = -1;
      }
    }
    if (rc < 0) {
      if (!LostUpgradeLock()) {
        QVLOG_ERR("service_debug", "FSCopyPath: failed to copy from '%s' to '%s'\n", child_src.c_str(),
                  child_dest.c_str());
      }
      result = -1;
    }
  }
  FSCloseDir(dh);
  if (result == 0 && !queue_files()) {
    LogCopyFailure(copy_pool, LostUpgradeLock());
    result = -1;
  }
  return result;
}

void Service::RemoveAgedFolders() {
  if (LostUpgradeLock()) return;
  ustring aged = PathFromTable("user_sky_lodge_path") + "/app";
  QVLOG_INFO("service_debug", "removing aged app folder %s\n", aged.c_str());
  if (FSRemove(aged, false) < 0) {
    const int err = errno;
    QVLOG_ERR("service_debug", "failed to remove aged app folder '%s': %s\n", aged.c_str(),
              std::generic_category().message(err).c_str());
  }
}

void Service::MigrateService() {
  ustring legacy = PathFromTable("user_sky_lodge_path");
  ustring current = PathFromTable("user_quenvale_drive_path");

  if (!IsFileExist(current, true) && FSMKDir(current, true) < 0) {
    QVLOG_ERR("service_debug", "Failed to create Quenvale Drive folder\n");
    return;
  }

  ustring old_data = legacy + "/data";
  ustring new_data = current + "/data";
  if (IsFileExist(old_data, true) && FSRename(old_data, new_data, true) < 0) {
    // The data is still only in the legacy folder: removing that folder would lose it.
    QVLOG_ERR("service_debug", "Failed to move data to Quenvale Drive folder\n");
    return;
  }

  if (IsFileExist(legacy, true) && FSRemove(legacy, false) < 0) {
    QVLOG_ERR("service_debug", "Failed to remove old .Skylodge folder\n");
  }
}
