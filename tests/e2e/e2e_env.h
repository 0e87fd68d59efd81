// Helpers of the end-to-end tests: a private system-wide install of the launcher, runs of
// the installed launcher as a real process, the per-user tree it leaves behind, its log,
// and the sample clients it starts.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "log_lines.h"

namespace e2e {

// Installs the build into a fresh folder (cmake --install) and returns its real path.
// Without the sample client in the install, the staged sample package is added.
std::string InstallTree();

// Rewrites <root>/log/launcher.debug with every component at `level`.
void SetAllLevels(const std::string& root, int level);

// Sets build_version in <root>/INFO and <root>/package/skylodge/INFO.
void SetBuild(const std::string& root, int build);

// build_version of an INFO file as text (empty when missing).
std::string BuildOf(const std::string& info_path);

// How one launcher process is started.
struct LaunchOptions {
  std::string root;              // install root
  std::string program;           // empty: <root>/bin/launcher; a bare name is looked up in
                                 // the run's PATH, a relative path from cwd
  std::vector<std::string> wrapper;  // runs these words with the program as last argument
  std::vector<std::string> args;     // words after the program
  std::string argv0;             // empty: the program as given (ignored with a wrapper)
  std::string cwd;               // empty: the test's current folder
  std::map<std::string, std::optional<std::string>> env;  // set (value) or unset (nullopt)
  bool unprivileged = false;     // drop root to nobody before exec (no-op when not root)
};

struct LaunchResult {
  pid_t pid = -1;
  int exit_code = -1;   // -1 unless the process exited normally
  int term_signal = 0;  // signal that ended it, if any
  bool timed_out = false;
  std::string out, err;
};

// Starts the launcher and returns its pid; WaitLauncher collects it (default limit 300 s, then
// SIGKILL: a run takes seconds, and far longer only on a busy machine). While waiting, orphans that the test process inherited as sub-reaper (the
// sample clients) are reaped, so a stopped client does not linger as a zombie.
pid_t StartLauncher(const LaunchOptions& options);
LaunchResult WaitLauncher(pid_t pid, int timeout_ms = 300000);
inline LaunchResult RunLauncher(const LaunchOptions& options, int timeout_ms = 300000) {
  return WaitLauncher(StartLauncher(options), timeout_ms);
}

// True once the child pid has ended, without waiting; WaitLauncher then returns its
// result at once.
bool HasEnded(pid_t pid);

// Makes the test process the reaper of its orphaned descendants.
void BecomeSubreaper();
// Reaps whatever children have ended, without blocking.
void ReapEnded();

// The per-user folder <home>/.QuenvaleDrive and its app folder.
std::string UserFolder(const std::string& home);
std::string AppFolder(const std::string& home);

// pid recorded in <home>/.QuenvaleDrive/ui.pid, or 0.
pid_t ClientPid(const std::string& home);
// True when pid is a live (not zombie) cloud-drive-ui process.
bool IsClientAlive(pid_t pid);
// Stops a client (SIGTERM, then SIGKILL after 5 s) and reaps it when it is ours.
void StopClient(pid_t pid);
// Stops the client named by home's pid file and every cloud-drive-ui this process
// inherited.
void StopAllClients(const std::vector<std::string>& homes);

// The lines of <home>/.QuenvaleDrive/log/launcher.log, split at their prefix.
using qvtest::LogLine;
std::vector<LogLine> ReadLog(const std::string& home);
std::vector<LogLine> LinesOf(const std::vector<LogLine>& log, pid_t pid);

// Checks that `expected` (tag, message) pairs occur in `lines` in this order (other
// lines may come between them). "<RUN>" in a message stands for any run's token in the
// names of its staging and ready copies.
::testing::AssertionResult InOrder(const std::vector<LogLine>& lines,
                                   const std::vector<std::pair<std::string, std::string>>& expected);
bool HasMessage(const std::vector<LogLine>& lines, const std::string& message);

// A listing of every path under dir with its type, mode and size (content hash for
// files), sorted; for comparing trees before and after.
std::string Snapshot(const std::string& dir);

// A home folder with XDG folders of its own (owned by nobody when `unprivileged` and
// the test runs as root), and the environment that points a launcher at it.
struct Home {
  std::string path;
  std::map<std::string, std::optional<std::string>> env;
  bool unprivileged = false;
};
Home MakeHome(const std::string& hint, bool unprivileged = false);

// Base fixture: sub-reaper, and every client stopped at the end.
class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Remembers a home so that TearDown stops its client.
  const Home& AddHome(const std::string& hint, bool unprivileged = false);
  LaunchOptions SpecFor(const std::string& root, const Home& home) const;
  // Starts an Xvfb of the test's own on a display number it picks among the free ones
  // (-displayfd), so parallel tests never collide; returns the display name or "".
  // `wrapper`, when given, runs it (the words before its name, which it finds in PATH).
  std::string StartXvfb(const std::vector<std::string>& wrapper = {});
  // Starts a session bus of the test's own listening on socket (a dbus-daemon without
  // service activation, so no notification daemon of the machine is ever started) and,
  // unless mode is "none", the recording notification service on it (mode "silent":
  // one that never answers). Returns the bus's address, "" when it could not start.
  std::string StartNotifyBus(const std::string& socket, const std::string& mode = "record");
  // Starts on the session bus at `address` and the X `display` the accessibility bus and
  // registry with the AT-SPI reader atspi_follow.py, which writes into `record` what it
  // finds of the application named `app`. False when it did not get ready.
  bool StartAtspiReader(const std::string& address, const std::string& display, const std::string& app,
                        const std::string& record);
  // The Notify calls recorded so far, one line each (see notify_recorder.cpp).
  std::vector<std::string> Notifications() const;

  std::deque<Home> homes_;  // deque: AddHome hands out references
  // Display servers the test started; TearDown stops and reaps them after the clients.
  std::vector<pid_t> servers_;
  std::string notify_record_;
};

}  // namespace e2e
