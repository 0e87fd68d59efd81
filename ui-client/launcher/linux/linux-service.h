// The Linux implementation of the per-user install service: stops the user's running
// client, decides on and performs the upgrade, and starts the per-user client.
#pragma once

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

 private:
  void LoadSourceVerInfo();
  void LoadTargetVerInfo();
  bool PerUserBinPathExist();
  int LaunchPerUserBin();
};
