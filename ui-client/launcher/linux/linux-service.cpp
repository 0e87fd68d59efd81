#include "linux/linux-service.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "adapter.h"
#include "config.h"
#include "desktop-notice.h"
#include "linux/copy-check.h"
#include "file/file-op.h"
#include "package-upgrade.h"

extern char** environ;

#define QV_LOG_FILE "linux/linux-service.cpp"
#include "log.h"

namespace {

const int kStopWaitMs = 5000;
const int kProbeIntervalMs = 50;

// A build number as atoi reads it; values beyond the int range are clamped rather than
// left to wrap, so a huge target build still compares as newer.
int BuildNumber(const ustring& text) {
  if (text.empty()) return 0;
  long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// Reads the pid the way atol does, but accepts only a value that names one process:
// 0 would signal our own process group and -1 (also reached by wrapping 4294967295)
// every process we may signal.
bool ParsePid(const std::string& text, pid_t* pid) {
  errno = 0;
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || value <= 0 || value > INT32_MAX) return false;
  *pid = static_cast<pid_t>(value);
  return true;
}

// A pid file is written by the client; anything bigger than this is not one.
const off_t kMaxPidFileBytes = 4096;

enum class ProcessKind { kGone, kClient, kOther };

// The real uid of a live process from /proc/<pid>/status; false when it cannot be read.
bool ProcessOwner(const std::string& proc_dir, uid_t* uid) {
  std::ifstream status(proc_dir + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 4, "Uid:") != 0) continue;
    std::istringstream fields(line.substr(4));
    unsigned long real = 0;
    if (!(fields >> real)) return false;
    *uid = static_cast<uid_t>(real);
    return true;
  }
  return false;
}

// The app folder as the kernel names the files in it: links resolved, so that a client
// run through a link to the folder is still recognised. When the folder is gone (removed
// since the client started), its parent is resolved instead.
std::string ResolvedAppFolder(const ustring& app_dir) {
  char resolved[PATH_MAX];
  if (::realpath(app_dir.c_str(), resolved) != nullptr) return resolved;
  if (::realpath(FSParentPath(app_dir).c_str(), resolved) != nullptr) {
    return std::string(resolved) + "/" + FSBaseName(app_dir).c_str();
  }
  return app_dir.c_str();
}

bool InFolder(const std::string& path, const std::string& folder) {
  return path.compare(0, folder.size() + 1, folder + "/") == 0;
}

// The program that the process runs when its executable is an interpreter: the first
// argument after argv[0] that is no option, with links resolved; one given relative to
// the process's working folder must exist. An absolute one may have been deleted since
// (the copy replaced under it): its folder is resolved instead. "" when there is none.
std::string ProgramArgument(const std::string& proc_dir) {
  std::ifstream in(proc_dir + "/cmdline", std::ios::binary);
  std::string arg;
  if (!std::getline(in, arg, '\0')) return "";
  while (std::getline(in, arg, '\0')) {
    if (arg.size() > 1 && arg[0] == '-') continue;
    if (arg.empty()) return "";
    char resolved[PATH_MAX];
    if (arg[0] != '/') {
      char cwd[PATH_MAX];
      const ssize_t n = ::readlink((proc_dir + "/cwd").c_str(), cwd, sizeof(cwd) - 1);
      if (n <= 0) return "";
      const std::string full = std::string(cwd, static_cast<size_t>(n)) + "/" + arg;
      return ::realpath(full.c_str(), resolved) != nullptr ? resolved : "";
    }
    if (::realpath(arg.c_str(), resolved) != nullptr) return resolved;
    const ustring path(arg);
    if (::realpath(FSParentPath(path).c_str(), resolved) == nullptr) return "";
    return std::string(resolved) + "/" + FSBaseName(path).c_str();
  }
  return "";
}

// A pid file may name anything: a client that has since died and whose number was
// reused, another user's process, pid 1. Only a process of this user whose executable
// lies in the per-user app folder is the client (its executable may have been deleted
// since, as when the folder was replaced under it), or one whose executable is an
// interpreter running a program from there. Without /proc nothing can be told, and
// nothing is signalled.
ProcessKind IdentifyProcess(pid_t pid, const ustring& app_dir) {
  const std::string proc_dir = "/proc/" + std::to_string(pid);
  struct stat st;
  if (::stat(proc_dir.c_str(), &st) != 0) {
    const bool have_proc = errno == ENOENT && ::stat("/proc/self", &st) == 0;
    return have_proc ? ProcessKind::kGone : ProcessKind::kOther;
  }
  uid_t owner = 0;
  if (!ProcessOwner(proc_dir, &owner)) return ProcessKind::kGone;  // ended meanwhile
  if (owner != ::getuid()) return ProcessKind::kOther;

  char exe[PATH_MAX];
  const ssize_t n = ::readlink((proc_dir + "/exe").c_str(), exe, sizeof(exe) - 1);
  if (n <= 0) return errno == ENOENT ? ProcessKind::kGone : ProcessKind::kOther;  // a zombie has none
  std::string exe_path(exe, static_cast<size_t>(n));
  static const std::string kDeleted = " (deleted)";
  if (exe_path.size() > kDeleted.size() &&
      exe_path.compare(exe_path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
    exe_path.resize(exe_path.size() - kDeleted.size());
  }
  const std::string app = ResolvedAppFolder(app_dir);
  if (InFolder(exe_path, app)) return ProcessKind::kClient;
  return InFolder(ProgramArgument(proc_dir), app) ? ProcessKind::kClient : ProcessKind::kOther;
}

// When the process started, in clock ticks since boot (field 22 of /proc/<pid>/stat):
// with the number, it tells one process from a later one that got the number. 0 once
// the process is reaped or cannot be looked at.
// With *group, its process group (field 5).
unsigned long long ProcessStartTime(pid_t pid, pid_t* group = nullptr) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(in, stat);
  const size_t name_end = stat.rfind(')');  // the name may hold spaces and parentheses
  if (name_end == std::string::npos) return 0;
  std::istringstream fields(stat.substr(name_end + 1));
  std::string field;
  long pgrp = 0;
  fields >> field >> field >> pgrp;
  for (int i = 6; i < 22; ++i) fields >> field;
  unsigned long long start = 0;
  fields >> start;
  if (group != nullptr) *group = static_cast<pid_t>(pgrp);
  return fields ? start : 0;
}

// This boot's id: start times count from the boot.
std::string BootId() {
  std::ifstream in("/proc/sys/kernel/random/boot_id");
  std::string id;
  std::getline(in, id);
  return id;
}

// Whether pid is a process of this user in the process group that cut's start script
// led. Not when a process of another start time leads that group now: the number cannot
// go to another process while the group has members, so that group is another.
bool InStarterGroup(pid_t pid, const HeldBackBuild& cut) {
  const unsigned long long leader = ProcessStartTime(cut.starter);
  pid_t group = 0;
  uid_t owner = 0;
  return cut.starter > 1 && (leader == 0 || leader == cut.starter_start) &&
         ProcessStartTime(pid, &group) >= cut.starter_start && group == cut.starter &&
         ProcessOwner("/proc/" + std::to_string(pid), &owner) && owner == ::getuid();
}

bool OfCopies(pid_t pid, const std::vector<ustring>& copies) {
  for (const ustring& copy : copies) {
    if (IdentifyProcess(pid, copy) == ProcessKind::kClient) return true;
  }
  return false;
}

// The processes other than this one for which is_one holds.
std::vector<pid_t> ProcessesWhere(const std::function<bool(pid_t)>& is_one) {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return found;
  while (const struct dirent* entry = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
    if (pid > 0 && pid != ::getpid() && is_one(pid)) found.push_back(pid);
  }
  ::closedir(proc);
  return found;
}

// Opens a pidfd on pid, so that the process checked is the one signalled and waited for
// even if its number is reused meanwhile; -1 where the kernel has none.
int OpenPidFd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

// Sends sig through the pidfd when there is one, else by number.
int SendSignal(int pid_fd, pid_t pid, int sig) {
  if (pid_fd >= 0) {
    const long rc = ::syscall(SYS_pidfd_send_signal, pid_fd, sig, nullptr, 0);
    if (rc == 0 || errno != ENOSYS) return rc == 0 ? 0 : -1;
  }
  return ::kill(pid, sig);
}

// Waits up to timeout_ms for the process to end; true when it has. The client is down
// from the SIGTERM until the new one starts, so its end is noticed at once through the
// pidfd; a kernel without pidfds gets probes of signal 0 a few times a second. A probe
// that fails other than with ESRCH counts as a process still running.
bool WaitForEnd(int pid_fd, pid_t pid, int timeout_ms) {
  if (pid_fd >= 0) {
    struct pollfd watch = {pid_fd, POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&watch, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready >= 0) return ready > 0;
  }
  for (int waited = 0; waited < timeout_ms; waited += kProbeIntervalMs) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
    ::usleep(kProbeIntervalMs * 1000);
  }
  return false;
}

ustring PidFile() { return PathFromTable("user_quenvale_drive_path") + "/ui.pid"; }

// A started client must name itself in the pid file within this time, and still run
// this long after.
const int kClientSeenWithinMs = 10000;
const int kClientStaysMs = 1000;
// The start script, the client it starts and one command of the script's at a time.
const int kProcessesToStart = 3;
// The names the old copy may stand under beside the app folder: _tmp, _tmp1 to _tmp9.
const int kBackupNames = 10;
// Rounds of looking for the late processes of a copy that is about to go, or of a killed
// trial's start script (StopInRounds).
const int kLateClientRounds = 10;

std::string LocalTime(time_t when) {
  char text[32];
  struct tm local;
  if (::localtime_r(&when, &local) == nullptr || ::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local) == 0) {
    return std::to_string(static_cast<long long>(when));
  }
  return text;
}

const char* SignalName(int sig) {
  switch (sig) {
    case SIGHUP:
      return "SIGHUP";
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
  }
  return "a signal";
}

}  // namespace

bool LinuxService::upgrade_only = false;

LinuxService::LinuxService() : Service() {
  timeout = 10000;
  per_user_install_path = PathFromTable("user_quenvale_drive_app_path");
}

LinuxService::~LinuxService() {}

LinuxService& LinuxService::GetInstace() {
  static LinuxService instance;
  return instance;
}

void LinuxService::LoadSourceVerInfo() { LoadSourceVersion(); }

void LinuxService::LoadTargetVerInfo() { LoadTargetVersion(); }

bool LinuxService::PerUserBinPathExist() {
  struct stat st;
  return ::stat(PathFromTable("user_quenvale_drive_ui_path").c_str(), &st) == 0;
}

void LinuxService::PreUpgrade() {
  // A run may go again when the package changed meanwhile: each round starts afresh.
  client_stopped = false;
  stopped_running_client = false;
  trial_cut_short = false;
  trial_recorded = false;
  copy_installed = false;
  repaired = false;
  keep_old_copy = false;
  versions_unknown = false;
  // Launchers of other sessions or machines on the same home would take each other's
  // staged copies for leftovers: one at a time. One that waited decides afresh below.
  LockUserFolder();
  // Before the versions are read: an interrupted upgrade may have left the app folder
  // missing, with the complete copy under another name.
  if (!lock_busy) {
    ReturnOldCopyFromCutSwap();
    reinstall = RecoverInterruptedUpgrade(per_user_install_path);
  }
  LoadTargetVerInfo();
  LoadSourceVerInfo();
  DesktopNotice::SetBuild(target_version.build_version.c_str());
  QVLOG_DEBUG("service_debug", "Source version: ('%s', '%s')\n", source_version.build_version.c_str(),
              source_version.icon_overlay_version.c_str());
  QVLOG_DEBUG("service_debug", "Target version: ('%s', '%s')\n", target_version.build_version.c_str(),
              target_version.icon_overlay_version.c_str());
}

bool LinuxService::IsNeedUpgrade() {
  int source_build = BuildNumber(source_version.build_version);
  int target_build = BuildNumber(target_version.build_version);
  QVLOG_DEBUG("service_debug", "source version = %d, target version = %d\n", source_build,
              target_build);
  if (lock_busy || (versions_unknown && PerUserBinPathExist())) return false;
  HeldBackBuild trial;
  const bool on_trial = ReadHeldBackBuild(HeldBackPath().c_str(), &trial) && trial.on_trial;
  // What the start script of the run cut short started is gone before any copy moves
  // or any client is judged, wherever it runs from.
  if (on_trial) StopStarterGroup(trial);
  trial_cut_short = on_trial && trial.build == target_version.build_version.c_str();
  if (reinstall && ReturnOldCopyBesideHeldBackBuild()) source_build = BuildNumber(source_version.build_version);
  if (target_build > source_build && !reinstall && PerUserBinPathExist()) {
    HeldBackBuild held;
    const std::string build = target_version.build_version.c_str();
    if (ReadHeldBackBuild(HeldBackPath().c_str(), &held) && KeepsBack(held, build, ::time(nullptr))) {
      QVLOG_NOTE("service_debug",
                 "build %s did not start here on %s, build %s stays; it is tried again from %s, or with "
                 "another build\n",
                 build.c_str(), LocalTime(held.since).c_str(), source_version.build_version.c_str(),
                 LocalTime(HoldEnds(held)).c_str());
      return false;
    }
  }
  if (target_build > source_build || reinstall) return true;
  return !PerUserBinPathExist();
}

bool LinuxService::ReturnOldCopyBesideHeldBackBuild() {
  HeldBackBuild held;
  const ustring app = per_user_install_path;
  const ustring backup = GetAppBackupDir(app, 0);
  const std::string build = source_version.build_version.c_str();
  if (!ReadHeldBackBuild(HeldBackPath().c_str(), &held) ||
      !(held.on_trial ? held.build == build : KeepsBack(held, build, ::time(nullptr))) ||
      !IsFileExist(backup, false)) {
    return false;
  }
  QVLOG_INFO("service_debug", "putting '%s' back in place of build %s, whose client %s\n", backup.c_str(),
             held.build.c_str(), held.on_trial ? "was on trial when a run ended" : "did not start");
  if (held.on_trial) {
    // The start script of the run that ended may still be starting a client of the
    // build, which names itself in the pid file late: gone before the retry starts its
    // own, it is never taken for a failed start of a good build.
    StopService();
    StopLateClients({app, GetAppDiscardDir(app) + "/" + FSBaseName(app)});
  }
  DiscardPath(app, app);
  if (IsFileExist(app, false) || FSRename(backup, app, false) != 0 || FSSyncEntry(FSParentPath(app)) != 0) {
    QVLOG_ERR("service_debug", "failed to put '%s' back in place of '%s'\n", backup.c_str(), app.c_str());
    return false;
  }
  for (int i = 1; i < kBackupNames; ++i) {
    if (IsFileExist(GetAppBackupDir(app, i), false)) DiscardPath(app, GetAppBackupDir(app, i));
  }
  reinstall = false;
  source_version = VersionInfo();
  LoadSourceVersion();
  return true;
}

void LinuxService::ReturnOldCopyFromCutSwap() {
  const ustring app = per_user_install_path;
  const ustring backup = GetAppBackupDir(app, 0);
  HeldBackBuild held;
  if (IsFileExist(app, false) || !IsFileExist(backup, false) || !ReadHeldBackBuild(HeldBackPath().c_str(), &held) ||
      !held.on_trial) {
    return;
  }
  // The ready copy, never tried, would otherwise take the place and the old copy go.
  if (FSRename(backup, app, false) == 0 && FSSyncEntry(FSParentPath(app)) == 0) {
    QVLOG_INFO("service_debug", "restored '%s' from '%s': build %s was to be tried when a run ended\n", app.c_str(),
               backup.c_str(), held.build.c_str());
  }
}

ustring LinuxService::HeldBackPath() const { return PathFromTable("user_quenvale_drive_path") + "/held-back-build"; }

int LinuxService::HandlePackageUpgrade() {
  // The old client runs on while the package is copied and flushed; it is down only
  // for the swap. A launcher that lost the lock meanwhile has not failed: the launcher
  // that holds it now does the upgrade.
  if (StagePackage() != 0) return LostUpgradeLock() ? 0 : -1;
  if (LostUpgradeLock()) {
    RemoveOwnStagedCopies(per_user_install_path);
    return 0;
  }
  if (PerUserBinPathExist()) {
    QVLOG_DEBUG("service_debug", "local appdata exist\n");
    // A client that is stopped must be started again: without processes to spare (a
    // task limit), the copy in use and its client stay.
    std::string reason;
    const bool running = IsClientRunning();
    if (running && !CanStartProcesses(kProcessesToStart, &reason)) {
      QVLOG_ERR("service_debug", "not upgrading the copy in use now: no process can be started (%s)\n",
                reason.c_str());
      DropStagedCopies(per_user_install_path);
      return -1;
    }
    // From the stop until a client runs again, a closed terminal or a logout must not
    // leave the user without one.
    held_signals.Hold();
    client_stopped = true;
    // Recorded before the stop: a run killed from here until the verdict leaves the
    // record, and the next start keeps the old copy, or puts it back, and watches the
    // build's client again.
    // A repair installs the same build again: the damaged copy is no build to go back to.
    if (!repairing && (running || trial_cut_short)) PutBuildOnTrial();
    // A start script of the run that was cut short may have been too early in its exec
    // to be told at the first look: a client it started since runs from the copy set aside.
    const ustring app = per_user_install_path;
    if (trial_cut_short) StopLateClients({GetAppDiscardDir(app) + "/" + FSBaseName(app)});
    StopService();
    keep_old_copy = !repairing && (stopped_running_client || trial_cut_short);
  }
  const int rc = PrepareUserEnv();
  copy_installed = rc == 0;
  return rc != 0 && LostUpgradeLock() ? 0 : rc;
}

void LinuxService::PostUpgrade() {
  const bool lost = LostUpgradeLock();
  // No old copy is kept (the upgrade failed and it is back, or it went before a run was
  // cut short): nothing is on trial.
  if ((trial_recorded || trial_cut_short) && kept_copy.empty() && !lost) ::unlink(HeldBackPath().c_str());
  if (!lost && (!upgrade_only || client_stopped)) {
    std::string failure;
    const int started = LaunchPerUserBin(&failure, trial_recorded && !kept_copy.empty());
    if (!kept_copy.empty()) {
      KeepNewCopyIfItsClientRuns(started == 0 ? std::string() : failure);
    } else {
      JudgeStart(started == 0 ? std::string() : failure);
    }
  }
  if (const int sig = held_signals.Pending()) {
    QVLOG_NOTE("service_debug", "%s came while the client was down, acting on it now\n", SignalName(sig));
  }
  held_signals.Release();
  // What the upgrade set aside goes once the client runs again.
  if (!lock_busy && !lost) EmptyDiscard(per_user_install_path);
  UnlockUserFolder();
}

bool LinuxService::SeeClientRunning(std::string* reason) {
  const ustring app = per_user_install_path;
  pid_t pid = 0;
  bool named = false;
  for (int waited = 0; !named && waited < kClientSeenWithinMs; waited += kProbeIntervalMs) {
    named = ReadClientPid(&pid, true) && IdentifyProcess(pid, app) == ProcessKind::kClient;
    if (!named) ::usleep(kProbeIntervalMs * 1000);
    KeepLockFresh();
  }
  if (!named) {
    *reason = "no client of '" + std::string(app.c_str()) + "' was named in '" + PidFile().c_str() + "' within " +
              std::to_string(kClientSeenWithinMs / 1000) + " s";
    return false;
  }
  const int pid_fd = OpenPidFd(pid);
  const bool ended = WaitForEnd(pid_fd, pid, kClientStaysMs) || IdentifyProcess(pid, app) != ProcessKind::kClient;
  if (pid_fd >= 0) ::close(pid_fd);
  if (ended) *reason = "its client (pid " + std::to_string(pid) + ") ended at once";
  return !ended;
}

void LinuxService::PutBuildOnTrial() {
  trial_record = HeldBackBuild();
  trial_record.build = target_version.build_version.c_str();
  trial_record.since = ::time(nullptr);
  trial_record.on_trial = true;
  trial_recorded = WriteHeldBackBuild(HeldBackPath().c_str(), trial_record);
  if (!trial_recorded) {
    QVLOG_WARN("service_debug", "cannot write '%s': a run killed while build %s is on trial leaves it in place\n",
               HeldBackPath().c_str(), trial_record.build.c_str());
  }
}

void LinuxService::StopStarterGroup(const HeldBackBuild& cut) {
  if (cut.starter <= 0 || cut.starter_boot != BootId()) return;
  StopInRounds([&cut](pid_t pid) { return InStarterGroup(pid, cut); },
               "started by the start script of a run that ended while build " + cut.build + " was on trial");
}

void LinuxService::KeepNewCopyIfItsClientRuns(const std::string& start_failure) {
  // Nothing is left to show; the dialog must not linger through the wait.
  Notify_Adapter::GetInstance().HideDialog();
  std::string reason = start_failure;
  if (reason.empty()) SeeClientRunning(&reason);
  if (!reason.empty()) {
    RestoreOldCopy(reason);
    return;
  }
  if (LostUpgradeLock()) return;
  DiscardPath(per_user_install_path, kept_copy);
  kept_copy = ustring();
  ::unlink(HeldBackPath().c_str());
}

bool LinuxService::RestoreOldCopy(const std::string& reason) {
  const ustring app = per_user_install_path;
  const std::string build = target_version.build_version.c_str();
  QVLOG_ERR("service_debug", "the client of build %s did not start (%s), putting build %s back\n", build.c_str(),
            reason.c_str(), source_version.build_version.c_str());
  // Recorded first: a run killed from here on leaves the old copy beside the build, and
  // the next start puts it back (ReturnOldCopyBesideHeldBackBuild).
  HeldBackBuild held;
  held.build = build;
  held.since = ::time(nullptr);
  if (!WriteHeldBackBuild(HeldBackPath().c_str(), held)) {
    QVLOG_WARN("service_debug", "cannot write '%s', build %s is tried again at the next start\n",
               HeldBackPath().c_str(), build.c_str());
  }
  // The launcher that took the lock over judges the copies now.
  if (LostUpgradeLock()) return false;
  // A client of the new copy that runs after all would hold files of a copy on its way out.
  StopService();
  // Each step leaves a whole copy under a name that the next start trusts: the new one
  // at the app path, or the old one beside it.
  DiscardPath(app, app);
  if (IsFileExist(app, false) || FSRename(kept_copy, app, false) != 0 || FSSyncEntry(FSParentPath(app)) != 0) {
    QVLOG_ERR("service_debug", "failed to put '%s' back in place of '%s'\n", kept_copy.c_str(), app.c_str());
    return false;
  }
  kept_copy = ustring();
  DesktopNotice::ReportRolledBack(build);
  std::string failure;
  if (LaunchPerUserBin(&failure) != 0 || !SeeClientRunning(&failure)) {
    // Then the new build is not to blame, and it is tried again at the next start.
    QVLOG_ERR("service_debug", "the client of build %s did not start either (%s)\n",
              source_version.build_version.c_str(), failure.c_str());
    ::unlink(HeldBackPath().c_str());
  }
  return true;
}

int LinuxService::LaunchPerUserBin(std::string* failure, bool on_trial) {
  // The script may leave the client running in the background with the script's
  // streams; they go to the null device so that nothing can hold the wait below open.
  // posix_spawn rather than QProcess: at a process or descriptor limit QProcess may
  // report a script that never started as killed by a signal, or wait for it forever.
  const ustring script = per_user_install_path + "/package/start-stop";
  posix_spawn_file_actions_t streams;
  posix_spawn_file_actions_init(&streams);
  posix_spawn_file_actions_addopen(&streams, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&streams, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&streams, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, pipe;
  sigemptyset(&none);
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &pipe);
  // A group of its own: what it starts can be told apart from anything else later, by
  // a next start when this run is killed on trial (StopStarterGroup).
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  std::string program = script.c_str();
  std::string start = "start";
  char* argv[] = {&program[0], &start[0], nullptr};
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, script.c_str(), &streams, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&streams);
  start_noexec = false;
  if (rc == 0 && on_trial) {
    trial_record.starter = pid;
    trial_record.starter_start = ProcessStartTime(pid);
    trial_record.starter_boot = BootId();
    if (!WriteHeldBackBuild(HeldBackPath().c_str(), trial_record)) {
      QVLOG_WARN("service_debug", "cannot write '%s': a run killed now leaves its start script to be found by "
                 "its path\n", HeldBackPath().c_str());
    }
  }
  if (rc != 0) {
    // A home mounted noexec is told here: the copy is whole, nothing else looks wrong,
    // and no copy can mend it. Any other reason is judged with the copy (JudgeStart).
    struct statvfs fs;
    start_noexec = ::statvfs(script.c_str(), &fs) == 0 && (fs.f_flag & ST_NOEXEC) != 0;
    const std::string why =
        std::generic_category().message(rc) + (start_noexec ? " (its file system is mounted noexec)" : "");
    if (start_noexec) {
      QVLOG_ERR("service_debug", "failed to run the start script '%s': %s\n", script.c_str(), why.c_str());
      DesktopNotice::ReportNoexec(PathFromTable("user_quenvale_drive_path").c_str());
    }
    if (failure != nullptr) *failure = "the start script could not run: " + why;
    return -1;
  }
  siginfo_t end;
  end.si_pid = 0;
  while (::waitid(P_PID, static_cast<id_t>(pid), &end, WEXITED) != 0 && errno == EINTR) {
  }
  std::string why;
  if (end.si_pid != pid) {
    why = "cannot wait for it: " + std::generic_category().message(errno);
    QVLOG_ERR("service_debug", "failed to wait for the start script '%s': %s\n", script.c_str(),
              std::generic_category().message(errno).c_str());
  } else if (end.si_code == CLD_KILLED || end.si_code == CLD_DUMPED) {
    why = "the start script was killed by signal " + std::to_string(end.si_status);
  } else if (end.si_status != 0) {
    why = "the start script exited with status " + std::to_string(end.si_status);
  }
  if (failure != nullptr) *failure = why;
  return why.empty() ? 0 : -1;
}

bool LinuxService::ReadClientPid(pid_t* pid, bool quiet) {
  const ustring pid_file = PidFile();
  // Not blocking and not following a link: a fifo put in its place would hang the
  // launcher, and a link would have it read whatever the link points at.
  const int fd = ::open(pid_file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    if (!quiet) QVLOG_DEBUG("service_debug", "pid file '%s' does not exist, no need to terminate\n", pid_file.c_str());
    return false;
  }
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxPidFileBytes) {
    if (!quiet) QVLOG_NOTE("service_debug", "pid file '%s' is not a regular file of at most %d bytes, no client is stopped\n",
               pid_file.c_str(), static_cast<int>(kMaxPidFileBytes));
    if (fd >= 0) ::close(fd);
    return false;
  }
  Config config;
  const int read = config.read_fd(fd);
  ::close(fd);
  if (read != 0) {
    if (!quiet) QVLOG_NOTE("service_debug", "Failed to read pid file '%s', not exist ?\n", pid_file.c_str());
    return false;
  }
  const std::string pid_text = config["pid"];
  if (pid_text.empty()) return false;
  if (!ParsePid(pid_text, pid)) {
    if (!quiet) QVLOG_NOTE("service_debug", "pid file '%s' holds no valid pid ('%s'), not signalled\n", pid_file.c_str(),
               pid_text.c_str());
    return false;
  }
  return true;
}

bool LinuxService::IsClientRunning() {
  pid_t pid = 0;
  return ReadClientPid(&pid) && IdentifyProcess(pid, per_user_install_path) == ProcessKind::kClient;
}

void LinuxService::StopService() {
  pid_t pid = 0;
  if (!ReadClientPid(&pid)) return;

  const int pid_fd = OpenPidFd(pid);
  if (pid_fd < 0 && errno == ESRCH) return;
  switch (IdentifyProcess(pid, per_user_install_path)) {
    case ProcessKind::kGone:
      break;
    case ProcessKind::kOther:
      QVLOG_NOTE("service_debug", "process %d named in '%s' is not the client, not signalled\n",
                 static_cast<int>(pid), PidFile().c_str());
      break;
    case ProcessKind::kClient:
      stopped_running_client = true;
      StopProcess(pid_fd, pid);
      break;
  }
  if (pid_fd >= 0) ::close(pid_fd);
}

void LinuxService::StopProcess(int pid_fd, pid_t pid) {
  const unsigned long long start = ProcessStartTime(pid);
  if (SendSignal(pid_fd, pid, SIGTERM) != 0) {
    const int err = errno;
    if (err == ESRCH) return;
    QVLOG_ERR("service_debug", "kill: %s (%d)\n", std::generic_category().message(err).c_str(), err);
  }
  if (!WaitForEnd(pid_fd, pid, kStopWaitMs)) {
    SendSignal(pid_fd, pid, SIGKILL);
    WaitForEnd(pid_fd, pid, kStopWaitMs);
  }
  ForgetStoppedProcess(pid, start);
}

void LinuxService::ForgetStoppedProcess(pid_t pid, unsigned long long start) {
  // Until its parent reaps it, an ended process keeps its number, and a start script
  // that asks `kill -0` of the pid file's number would take it for a running client.
  for (int waited = 0; start != 0; waited += kProbeIntervalMs) {
    pid_t named = 0;
    if (ProcessStartTime(pid) != start || !ReadClientPid(&named, true) || named != pid) return;
    // The file names that very process: it names nobody who runs.
    if (::unlink(PidFile().c_str()) == 0 || errno == ENOENT) return;
    if (waited >= kStopWaitMs) {
      QVLOG_WARN("service_debug", "'%s' names process %d, which ended but was not reaped within %d s\n",
                 PidFile().c_str(), static_cast<int>(pid), kStopWaitMs / 1000);
      return;
    }
    ::usleep(kProbeIntervalMs * 1000);
  }
}

void LinuxService::StopLateClients(const std::vector<ustring>& copies) {
  StopInRounds([&copies](pid_t pid) { return OfCopies(pid, copies); },
               std::string("a client of '") + copies.front().c_str() + "' that no pid file named yet");
}

void LinuxService::StopInRounds(const std::function<bool(pid_t)>& is_one, const std::string& what) {
  for (int round = 0; round < kLateClientRounds; ++round) {
    const std::vector<pid_t> found = ProcessesWhere(is_one);
    if (found.empty()) return;
    for (const pid_t pid : found) {
      const int pid_fd = OpenPidFd(pid);
      // Looked at again once held: the number may have gone to another process.
      if ((pid_fd >= 0 || errno != ESRCH) && is_one(pid)) {
        QVLOG_INFO("service_debug", "stopping process %d, %s\n", static_cast<int>(pid), what.c_str());
        StopProcess(pid_fd, pid);
      }
      if (pid_fd >= 0) ::close(pid_fd);
    }
  }
}

void LinuxService::SetUpgradeOnly(bool on) { upgrade_only = on; }

void LinuxService::JudgeStart(std::string failure) {
  if (start_noexec) return;
  const bool fresh = copy_installed;
  if (failure.empty() && fresh) {
    // Nothing is left to show; the dialog must not linger through the wait.
    Notify_Adapter::GetInstance().HideDialog();
    SeeClientRunning(&failure);
  }
  copy_installed = false;
  const ustring app = per_user_install_path;
  const std::string build = target_version.build_version.c_str();
  // Only a copy of the package's own build can be held against it (not the older copy
  // that runs while a build is held back), and only by the launcher that holds the lock.
  const std::string copy_build = fresh ? build : source_version.build_version.c_str();
  if (lock_busy || LostUpgradeLock() || build.empty() || build != copy_build) {
    if (!failure.empty()) FailedStart(failure);
    return;
  }
  // The client runs already (or could not start): this costs it no time.
  const CopyCheck check = CheckCopy(PackageSourcePath(), app);
  const std::string package = PackageSourcePath().c_str();
  if (!check.error.empty()) {
    if (!failure.empty()) {
      FailedStart(failure + "; its copy cannot be compared with the package: " + check.error);
    } else {
      QVLOG_NOTE("service_debug", "the copy '%s' cannot be compared with the package: %s\n", app.c_str(),
                 check.error.c_str());
    }
    return;
  }
  if (check.Same()) {
    if (!failure.empty()) {
      FailedStart(failure + "; its copy is the same as the package '" + package + "' of build " + build +
                  ", which is at fault");
    }
    return;
  }
  const std::string differences = DescribeDifferences(check);
  const std::string record_path = RepairRecordPath().c_str();
  RepairRecord record;
  const bool seen =
      ReadRepairRecord(record_path, &record) && record.build == build && record.damage == Fingerprint(check);
  if (repaired || seen) {
    // A client that rewrites a file it ships would have its copy installed at every start.
    if (!failure.empty()) {
      FailedStart(failure + "; its copy differs from the package again after it was installed again (" + differences +
                  ")");
    } else if (!seen || !record.noted) {
      QVLOG_NOTE("service_debug",
                 "the copy '%s' differs from the package again after it was installed again (%s): its client "
                 "changes it, and it is left as it is for build %s\n",
                 app.c_str(), differences.c_str(), build.c_str());
      record.build = build;
      record.damage = Fingerprint(check);
      record.noted = true;
      WriteRepairRecord(record_path, record);
    }
    return;
  }
  QVLOG_WARN("service_debug", "the copy '%s' differs from the package (%s)%s: installing it again\n", app.c_str(),
             differences.c_str(), failure.empty() ? "" : (" and its client did not start (" + failure + ")").c_str());
  record.build = build;
  record.damage = Fingerprint(check);
  record.noted = false;
  if (!WriteRepairRecord(record_path, record)) {
    QVLOG_NOTE("service_debug", "cannot write '%s', a copy damaged again is installed again\n", record_path.c_str());
  }
  if (!RepairCopy() && !failure.empty()) FailedStart(failure + "; its copy could not be installed again");
}

bool LinuxService::RepairCopy() {
  repairing = true;
  trial_cut_short = false;
  const int rc = HandlePackageUpgrade();
  repairing = false;
  repaired = true;
  if (LostUpgradeLock()) return true;  // the launcher that took the lock over starts the client
  if (rc != 0) {
    QVLOG_ERR("service_debug", "the copy '%s' could not be installed again\n", per_user_install_path.c_str());
    ReportFailedUpgrade();
  }
  // Whichever copy stands now (the old one stays after a failed swap), its client runs
  // again; the start script leaves one that still runs alone.
  std::string failure;
  const int started = LaunchPerUserBin(&failure);
  JudgeStart(started == 0 ? std::string() : failure);
  return rc == 0;
}

void LinuxService::FailedStart(const std::string& message) {
  QVLOG_ERR("service_debug", "the client of '%s' did not start (%s)\n", per_user_install_path.c_str(), message.c_str());
  DesktopNotice::ReportNotStarted(message);
}

ustring LinuxService::RepairRecordPath() const {
  return PathFromTable("user_quenvale_drive_path") + "/repaired-copy";
}
