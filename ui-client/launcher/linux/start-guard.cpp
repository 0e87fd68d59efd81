#include "linux/start-guard.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <system_error>
#include <vector>

#include "config.h"

extern char** environ;

namespace {

const int kHeldSignals[3] = {SIGHUP, SIGTERM, SIGINT};
const time_t kHoldSeconds = 24 * 60 * 60;

volatile sig_atomic_t g_pending = 0;

void NoteSignal(int sig) {
  if (g_pending == 0) g_pending = sig;
}

}  // namespace

HeldSignals::~HeldSignals() { Release(); }

void HeldSignals::Hold() {
  if (holding_) return;
  g_pending = 0;
  struct sigaction note = {};
  note.sa_handler = NoteSignal;
  // Restarted: the waits of the stop and the start are not cut short by the signal.
  note.sa_flags = SA_RESTART;
  sigemptyset(&note.sa_mask);
  for (int i = 0; i < 3; ++i) ::sigaction(kHeldSignals[i], &note, &saved_[i]);
  holding_ = true;
}

int HeldSignals::Pending() const { return holding_ ? g_pending : 0; }

void HeldSignals::Release() {
  if (!holding_) return;
  for (int i = 0; i < 3; ++i) ::sigaction(kHeldSignals[i], &saved_[i], nullptr);
  holding_ = false;
  const int sig = g_pending;
  g_pending = 0;
  // Under the disposition that the launcher had before: one that ignores it (nohup)
  // goes on.
  if (sig != 0) ::kill(::getpid(), sig);
}

bool CanStartProcesses(int count, std::string* reason) {
  posix_spawn_file_actions_t streams;
  posix_spawn_file_actions_init(&streams);
  for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_addopen(&streams, fd, "/dev/null", O_RDWR, 0);
  std::string program = "/bin/sleep";
  std::string seconds = "60";
  char* argv[] = {&program[0], &seconds[0], nullptr};
  std::vector<pid_t> started;
  int rc = 0;
  for (int i = 0; i < count && rc == 0; ++i) {
    pid_t pid = 0;
    rc = ::posix_spawn(&pid, program.c_str(), &streams, nullptr, argv, environ);
    if (rc == 0) started.push_back(pid);
  }
  posix_spawn_file_actions_destroy(&streams);
  for (const pid_t pid : started) {
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  if (rc == ENOENT) return true;  // nothing to try with: the start itself will tell
  if (rc != 0) *reason = std::generic_category().message(rc);
  return rc == 0;
}

bool ReadHeldBackBuild(const std::string& path, HeldBackBuild* held) {
  Config record;
  if (record.read(path) != 0) return false;
  HeldBackBuild read;
  read.build = record["build"];
  const std::string since = record["since"];
  if (read.build.empty() || since.empty()) return false;
  read.since = static_cast<time_t>(std::strtoll(since.c_str(), nullptr, 10));
  read.on_trial = record["trial"] == "1";
  read.starter = static_cast<pid_t>(std::strtol(record["starter"].c_str(), nullptr, 10));
  read.starter_start = std::strtoull(record["starter_start"].c_str(), nullptr, 10);
  read.starter_boot = record["starter_boot"];
  *held = read;
  return true;
}

bool WriteHeldBackBuild(const std::string& path, const HeldBackBuild& held) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << "build=" << held.build << "\nsince=" << static_cast<long long>(held.since) << "\n";
    if (held.on_trial) out << "trial=1\n";
    if (held.starter > 0) {
      out << "starter=" << held.starter << "\nstarter_start=" << held.starter_start
          << "\nstarter_boot=" << held.starter_boot << "\n";
    }
    out.flush();
    if (!out) {
      std::remove(temporary.c_str());
      return false;
    }
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

bool KeepsBack(const HeldBackBuild& held, const std::string& build, time_t now) {
  return !held.on_trial && !build.empty() && held.build == build && now >= held.since && now < HoldEnds(held);
}

time_t HoldEnds(const HeldBackBuild& held) { return held.since + kHoldSeconds; }
