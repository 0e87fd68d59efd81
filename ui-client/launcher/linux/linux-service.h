// The Linux implementation of the per-user install service: stops the user's running
// client, decides on and performs the upgrade, and starts the per-user client.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "cloud-service.h"
#include "linux/start-guard.h"

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
  // The pid that the pid file holds, read safely; false (logged unless quiet) when it
  // holds none.
  bool ReadClientPid(pid_t* pid, bool quiet = false);
  void LoadSourceVerInfo();
  void LoadTargetVerInfo();
  bool PerUserBinPathExist();
  // Runs the start script; 0 when it ended with status 0, else -1 with the reason in
  // *failure when given. On trial, its process group goes into the trial record.
  int LaunchPerUserBin(std::string* failure = nullptr, bool on_trial = false);
  // Whether a client of the app folder is seen running: the pid file names one within
  // a bounded time, and it still runs a moment later. Else false, with why in *reason.
  bool SeeClientRunning(std::string* reason);
  // Records the target build as on trial (see HeldBackBuild), before its running
  // predecessor is stopped.
  void PutBuildOnTrial();
  // After the start of the new copy: keeps it when its client is seen running, else
  // puts the old copy back (RestoreOldCopy).
  void KeepNewCopyIfItsClientRuns(const std::string& start_failure);
  // The new build was put back because its client did not start (reason): the old copy
  // kept by the swap returns to the app folder and is started. When its client then runs,
  // the new build is held back (see start-guard.h). False when the old copy could not be
  // put in place.
  bool RestoreOldCopy(const std::string& reason);
  // A run killed while it put the old copy back, or while the new build was on trial,
  // leaves that build at the app path with the old copy beside it (a copy to install
  // again, for the recovery): the old copy returns instead, after any client of the
  // build, named or not, has been stopped. True when it did.
  bool ReturnOldCopyBesideHeldBackBuild();
  // A run killed between the two renames of the swap while a build was on trial leaves
  // no app folder, the old copy beside it and the new one ready: the old copy returns,
  // and the build is tried again.
  void ReturnOldCopyFromCutSwap();
  ustring HeldBackPath() const;
  // SIGTERM, then SIGKILL after a bound, to the process held by pid_fd (-1 without
  // pidfds), and ForgetStoppedProcess.
  void StopProcess(int pid_fd, pid_t pid);
  // Removes the pid file when it still names the stopped process pid, started at start;
  // when it cannot, waits (bounded) until that process has been reaped.
  void ForgetStoppedProcess(pid_t pid, unsigned long long start);
  // Stops every process of this user that is a client of one of copies.
  void StopLateClients(const std::vector<ustring>& copies);
  // Stops what is left of the start script's process group recorded in cut, the record
  // of a trial that a killed run left, in this boot.
  void StopStarterGroup(const HeldBackBuild& cut);
  // Stops the processes for which is_one holds, logged as what they are, in rounds: each
  // stops what the one before found, and a process forked meanwhile shows in the next.
  void StopInRounds(const std::function<bool(pid_t)>& is_one, const std::string& what);
  // After the start of a copy that was not on trial: an install or a repair is watched
  // until its client is seen running. Then the copy is compared with the package: a
  // failed start of a damaged copy, or damage the start did not notice, has the copy
  // installed again (once a run, and once a build for the same damage); a failed start
  // that no repair mends is logged as an ERROR and told on the desktop.
  void JudgeStart(std::string failure);
  // Installs the package again over the damaged copy as an upgrade does (staged beside
  // it, the client stopped, the swap), then starts and judges it. False when it could not.
  bool RepairCopy();
  void FailedStart(const std::string& message);
  ustring RepairRecordPath() const;

  static bool upgrade_only;
  bool client_stopped = false;
  // A client was running and this run signalled it.
  bool stopped_running_client = false;
  // The package's build was on trial when a run ended: its predecessor's client ran, so
  // the old copy is kept and the build watched again as if that client had been stopped.
  bool trial_cut_short = false;
  // This run wrote the trial record, trial_record.
  bool trial_recorded = false;
  HeldBackBuild trial_record;
  // This run put a copy in place (an install, upgrade or repair) whose client must be
  // seen running.
  bool copy_installed = false;
  // The copy is being installed again: the damaged one is not kept for a rollback.
  bool repairing = false;
  bool repaired = false;
  // The start script could not run for a noexec file system: told already, and no copy
  // can mend it.
  bool start_noexec = false;
  HeldSignals held_signals;
};
