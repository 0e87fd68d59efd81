// The per-user install service: decides whether the user's private copy of the client
// must be installed from the system-wide package, installs it with backup and rollback,
// and cleans up what the client's former per-user folder left behind.
#pragma once

#include <QString>

#include "ustring/ustring.h"

class CopyPool;
class CopyProgress;

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
  // Base folder of every per-user path: the home folder, or XDG_DATA_HOME on Deepin.
  static QString GetUserInstallPath();

 protected:
  int FSCopyPath(const ustring& src, const ustring& dest);
  // The half of an upgrade that runs while the old client still does: the package is
  // copied beside the app folder and made durable under the ready name. The old copy
  // is not touched; PrepareUserEnv then swaps the ready copy in. 0 or -1.
  int StagePackage();

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
};

// Name of the backup folder number `tries` beside the app folder: app_dir + "_tmp"
// (tries 0) or app_dir + "_tmp" + tries.
ustring GetAppBackupDir(const ustring& app_dir, int tries);

// The path stored under key in the start-up path table, in UTF-8.
ustring PathFromTable(const char* key);
