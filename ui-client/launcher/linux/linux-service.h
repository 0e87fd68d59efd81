// The Linux implementation of the per-user install service: stops the user's running
// client, decides on and performs the upgrade, and starts the per-user client.
#pragma once

#include <sys/types.h>

#include "cloud-service.h"

class LinuxService : public Service {
 public:
  LinuxService();
  ~LinuxService() override;

  // A process-wide instance; the launcher's worker makes its own instead.
  static LinuxService& GetInstace();

  void StopService() override;
  int HandlePackageUpgrade() override;
  void PostUpgrade() override;
  void PreUpgrade() override;
  bool IsNeedUpgrade() override;

  // Whether the pid file names a live process that is the user's client: one of this
  // user whose executable lies in the per-user app folder.
  bool IsClientRunning();

  // For a run that only brings a running client up to date (after a package upgrade):
  // the client is started again only if this run stopped it, since otherwise it runs
  // already. Set by main before the worker makes its service.
  static void SetUpgradeOnly(bool on);

 private:
  // The pid that the pid file holds, read safely; false (logged) when it holds none.
  bool ReadClientPid(pid_t* pid);
  void LoadSourceVerInfo();
  void LoadTargetVerInfo();
  bool PerUserBinPathExist();
  int LaunchPerUserBin();

  static bool upgrade_only;
  bool client_stopped = false;
};
