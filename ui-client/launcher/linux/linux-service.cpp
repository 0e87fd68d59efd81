#include "linux/linux-service.h"

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
#include <fstream>
#include <sstream>
#include <string>

#include "config.h"
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

std::string ErrorText(int err) {
  char buf[256];
  return strerror_r(err, buf, sizeof(buf));
}

enum class ProcessKind { kGone, kClient, kOther };

// Seconds since the epoch at which the process started, from /proc; -1 when unknown.
double ProcessStartTime(pid_t pid) {
  std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat_file, line)) return -1;
  // The command name may hold spaces and parentheses; fields resume after the last ')'.
  size_t close = line.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  // Fields 3 (state) to 21 come before starttime, field 22.
  for (int i = 3; i < 22; ++i) fields >> field;
  unsigned long long ticks = 0;
  if (!(fields >> ticks)) return -1;

  std::ifstream proc_stat("/proc/stat");
  long long btime = -1;
  while (std::getline(proc_stat, line)) {
    if (line.compare(0, 6, "btime ") == 0) {
      btime = std::atoll(line.c_str() + 6);
      break;
    }
  }
  long hz = sysconf(_SC_CLK_TCK);
  if (btime < 0 || hz <= 0) return -1;
  return static_cast<double>(btime) + static_cast<double>(ticks) / static_cast<double>(hz);
}

// A pid file outlives its client after a crash or a reboot, and the number may since
// belong to an unrelated process. The client is recognised by its executable lying in
// the per-user app folder or, failing that (a client run through an interpreter), by
// having started no later than the pid file was written.
ProcessKind IdentifyProcess(pid_t pid, const ustring& pid_file, const ustring& app_dir) {
  const std::string proc_dir = "/proc/" + std::to_string(pid);
  struct stat st;
  if (::stat("/proc/self/stat", &st) != 0) return ProcessKind::kClient;  // no /proc: cannot tell
  if (::stat(proc_dir.c_str(), &st) != 0) return ProcessKind::kGone;

  char exe[PATH_MAX];
  ssize_t n = ::readlink((proc_dir + "/exe").c_str(), exe, sizeof(exe) - 1);
  if (n > 0) {
    std::string exe_path(exe, static_cast<size_t>(n));
    char real_app[PATH_MAX];
    std::string app = ::realpath(app_dir.c_str(), real_app) ? real_app : app_dir.c_str();
    if (!app.empty() && exe_path.compare(0, app.size() + 1, app + "/") == 0) {
      return ProcessKind::kClient;
    }
  }

  struct stat pid_st;
  double started = ProcessStartTime(pid);
  if (started >= 0 && ::stat(pid_file.c_str(), &pid_st) == 0) {
    double written = static_cast<double>(pid_st.st_mtim.tv_sec) +
                     static_cast<double>(pid_st.st_mtim.tv_nsec) / 1e9;
    // The boot time in /proc/stat is whole seconds, hence one second of slack.
    if (started <= written + 1.0) return ProcessKind::kClient;
  }
  return ProcessKind::kOther;
}

// Waits up to timeout_ms for pid to end; true when it has. The client is down from the
// SIGTERM until the new one starts, so its end is noticed at once through a pidfd; a
// kernel without pidfds gets probes of signal 0 a few times a second. A probe that
// fails other than with ESRCH counts as a process still running.
bool WaitForEnd(pid_t pid, int timeout_ms) {
  int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0) {
    struct pollfd watch = {fd, POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&watch, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    ::close(fd);
    if (ready >= 0) return ready > 0;
  } else if (errno == ESRCH) {
    return true;
  }
  for (int waited = 0; waited < timeout_ms; waited += kProbeIntervalMs) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
    ::usleep(kProbeIntervalMs * 1000);
  }
  return false;
}

}  // namespace

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
  // Launchers of other sessions or machines on the same home would take each other's
  // staged copies for leftovers: one at a time. One that waited decides afresh below.
  LockUserFolder();
  // Before the versions are read: an interrupted upgrade may have left the app folder
  // missing, with the complete copy under another name.
  if (!lock_busy) reinstall = RecoverInterruptedUpgrade(per_user_install_path);
  LoadTargetVerInfo();
  LoadSourceVerInfo();
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
  if (lock_busy) return false;
  if (target_build > source_build || reinstall) return true;
  return !PerUserBinPathExist();
}

int LinuxService::HandlePackageUpgrade() {
  // The old client runs on while the package is copied and flushed; it is down only
  // for the swap.
  if (StagePackage() != 0) return -1;
  if (PerUserBinPathExist()) {
    QVLOG_DEBUG("service_debug", "local appdata exist\n");
    StopService();
  }
  return PrepareUserEnv();
}

void LinuxService::PostUpgrade() {
  LaunchPerUserBin();
  // What the upgrade set aside goes once the client runs again.
  if (!lock_busy) EmptyDiscard(per_user_install_path);
  UnlockUserFolder();
}

int LinuxService::LaunchPerUserBin() {
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
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::string program = script.c_str();
  std::string start = "start";
  char* argv[] = {&program[0], &start[0], nullptr};
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, script.c_str(), &streams, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&streams);
  if (rc != 0) {
    // The user is left without a client: say why, most of all for a home mounted noexec,
    // where the copy is whole and nothing else looks wrong.
    struct statvfs fs;
    const bool noexec = ::statvfs(script.c_str(), &fs) == 0 && (fs.f_flag & ST_NOEXEC) != 0;
    QVLOG_ERR("service_debug", "failed to run the start script '%s': %s%s\n", script.c_str(), ErrorText(rc).c_str(),
              noexec ? " (its file system is mounted noexec)" : "");
    return 0;
  }
  siginfo_t end;
  end.si_pid = 0;
  while (::waitid(P_PID, static_cast<id_t>(pid), &end, WEXITED) != 0 && errno == EINTR) {
  }
  if (end.si_pid != pid) {
    QVLOG_ERR("service_debug", "failed to wait for the start script '%s': %s\n", script.c_str(),
              ErrorText(errno).c_str());
  } else if (end.si_code == CLD_KILLED || end.si_code == CLD_DUMPED) {
    QVLOG_WARN("service_debug", "the start script '%s' was killed by signal %d\n", script.c_str(), end.si_status);
  } else if (end.si_status != 0) {
    QVLOG_WARN("service_debug", "the start script '%s' exited with status %d\n", script.c_str(), end.si_status);
  }
  return 0;
}

void LinuxService::StopService() {
  ustring pid_file = PathFromTable("user_quenvale_drive_path") + "/ui.pid";
  if (!IsFileExist(pid_file, false)) {
    QVLOG_DEBUG("service_debug", "pid file '%s' does not exist, no need to terminate\n",
                pid_file.c_str());
    return;
  }

  Config config;
  if (config.read(pid_file.c_str()) != 0) {
    QVLOG_NOTE("service_debug", "Failed to read pid file '%s', not exist ?\n", pid_file.c_str());
    return;
  }
  const std::string pid_text = config["pid"];
  if (pid_text.empty()) return;

  pid_t pid = 0;
  if (!ParsePid(pid_text, &pid)) {
    QVLOG_NOTE("service_debug", "pid file '%s' holds no valid pid ('%s'), not signalled\n",
               pid_file.c_str(), pid_text.c_str());
    return;
  }
  switch (IdentifyProcess(pid, pid_file, per_user_install_path)) {
    case ProcessKind::kGone:
      return;
    case ProcessKind::kOther:
      QVLOG_NOTE("service_debug", "process %d named in '%s' is not the client, not signalled\n",
                 static_cast<int>(pid), pid_file.c_str());
      return;
    case ProcessKind::kClient:
      break;
  }

  if (::kill(pid, SIGTERM) != 0) {
    int err = errno;
    if (err == ESRCH) return;
    QVLOG_ERR("service_debug", "kill: %s (%d)\n", ErrorText(err).c_str(), err);
  }
  if (!WaitForEnd(pid, kStopWaitMs)) ::kill(pid, SIGKILL);
}
