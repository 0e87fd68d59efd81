// The per-user install service: decides whether the user's private copy of the client
// must be installed from the system-wide package, installs it with backup and rollback,
// and cleans up what the client's former per-user folder left behind.
#pragma once

#include <QString>

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ustring/ustring.h"

class CopyPool;
class CopyProgress;
class UpgradeLock;

class Service {
 protected:
  struct VersionInfo {
    ustring major_version;
    ustring minor_version;
    ustring build_version;
    ustring icon_overlay_version;
  };

 public:
  Service();
  virtual ~Service();

  // The order of these virtual operations is part of the interface: keep it.
  virtual void StopService() = 0;
  virtual void SetTimeout(int timeout);
  virtual int HandlePackageUpgrade() = 0;
  virtual void PostUpgrade() = 0;
  virtual void PreUpgrade() = 0;
  virtual bool IsNeedUpgrade() = 0;

 protected:
  virtual int ExtractPackage();  // lives with the archive extractor
  virtual int CopyPackage();
  virtual void LoadSourceVersion();
  virtual void LoadTargetVersion();
  virtual int PrepareUserEnv();
  virtual void MigrateService();

 public:
  void RemoveAgedFolders();
  // Whether the system-wide package's build is no longer the one this run decided on
  // (it was upgraded during the run): the sequence is then run again.
  bool PackageChangedDuringRun();
  // Whether this run found its upgrade lock taken over by another launcher.
  bool UpgradeLockLost() const { return lock_lost.load(); }
  // Tells the desktop that the upgrade failed: a folder of the per-user tree that is not
  // the user's is named as the cause, else the run's first ERROR is.
  void ReportFailedUpgrade();
  // Base folder of every per-user path: the home folder, or XDG_DATA_HOME on Deepin
  // when that is an absolute path.
  static QString GetUserInstallPath();

 protected:
  int FSCopyPath(const ustring& src, const ustring& dest);
  // The half of an upgrade that runs while the old client still does: the package is
  // copied beside the app folder and made durable under the ready name. The old copy
  // is not touched; PrepareUserEnv then swaps the ready copy in. 0 or -1.
  int StagePackage();
  // One copy of the package into the staging folder and, when it is whole, to the ready
  // name. When the package changed meanwhile, *change says how (the copy is not used).
  int StagePackageOnce(std::string* change);
  // Takes the per-user folder's upgrade lock, waiting while another launcher upgrades;
  // sets lock_busy when it cannot be had in time. UnlockUserFolder lets it go.
  void LockUserFolder();
  void UnlockUserFolder();
  // Refreshes the lock when no thread of its own does; called as the upgrade goes on,
  // from any thread.
  void KeepLockFresh();
  // True once the upgrade lock, held, is no longer this launcher's (another launcher
  // took it over while this one was frozen): from then on nothing under the shared
  // names changes and no client is stopped or started. Logs one WARNING that names the
  // holder, the first time. Asked before each step that another launcher may trust:
  // the stop, each rename of the swap, each removal. Any thread.
  bool LostUpgradeLock();

  void ReportUnreadVersion(const ustring& path, int err);

  int timeout;
  ustring per_user_install_path;
  VersionInfo target_version;
  VersionInfo source_version;
  // Set at start when the copy at the app path may be incomplete: it is installed again.
  bool reinstall = false;
  // A ready copy was staged by this run; otherwise PrepareUserEnv stages one itself.
  bool staged = false;
  // Receives the bytes of the package copy while one runs.
  CopyProgress* copy_progress = nullptr;
  // Copies the files that the outermost FSCopyPath call queues.
  CopyPool* copy_pool = nullptr;
  // The folders that call made, with the modes they get once their contents are in.
  std::vector<std::pair<ustring, mode_t>> folder_modes;
  // Held from the recovery at start to the end of the upgrade.
  std::unique_ptr<UpgradeLock> upgrade_lock;
  // A version record could not be read for want of descriptors or memory (logged): the
  // copy in use is not upgraded.
  bool versions_unknown = false;
  // Set when a running client was stopped for the swap: PrepareUserEnv then keeps the
  // old copy under its backup name, in kept_copy, until a client of the new one is seen
  // running.
  bool keep_old_copy = false;
  ustring kept_copy;
  // Another launcher held the lock for longer than this one waits: this one changes
  // nothing in the per-user folder and only starts the client.
  bool lock_busy = false;
  std::atomic<bool> lock_lost{false};
};

// Logs, once the log is open, that XDG_DATA_HOME was ignored (it was not an absolute
// path) if it was: the path table is filled before there is a log.
void LogIgnoredDataHome();

// The path stored under key in the start-up path table, in UTF-8.
ustring PathFromTable(const char* key);
// The system-wide package tree that is copied into the per-user app folder.
ustring PackageSourcePath();
