// The installed launcher, run as a real process on the offscreen platform against a
// private install and a private home: first install (with the aged legacy folder),
// nothing to do, upgrade, rollback, a second instance, the log, the upgrade of a running
// client only, the five ways of being started, the plug-in path, a run without any
// display, a lock held by another machine whose clock is ahead, and a tight process limit.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "e2e_env.h"
#include "test_env.h"

namespace e2e {
namespace {

const int kBuild = std::stoi(QV_SAMPLE_BUILD);

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string ExeOf(pid_t pid) {
  char buf[4096];
  ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Files only, with modes and contents: folders may get other modes than in the package.
std::string FilesOf(const std::string& dir) {
  return qvtest::ShellOutput("cd '" + dir +
                             "' && find . -type f -printf '%p %m %s\\n' | sort"
                             " && find . -type f -exec md5sum {} + | sort");
}

// True while pid has not ended (a zombie has).
bool Running(pid_t pid) {
  const std::string stat = qvtest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// What an upgrade may leave beside the app folder: staging, ready, backups, discard.
std::string Backups(const std::string& home) {
  return qvtest::ShellOutput("ls -d '" + UserFolder(home) + "'/QuenvaleDrive.app_* 2>/dev/null");
}

class LauncherE2e : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    root_ = InstallTree();
    ASSERT_TRUE(Exists(root_ + "/bin/launcher"));
    SetAllLevels(root_, 7);
  }

  // Runs the launcher and expects the normal finish.
  LaunchResult RunOk(const Home& home) {
    LaunchResult r = RunLauncher(SpecFor(root_, home));
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << "signal " << r.term_signal << "\nstderr:\n" << r.err;
    return r;
  }

  std::string root_;
};

TEST_F(LauncherE2e, FirstInstallCopiesThePackageAndStartsTheClient) {
  const Home& home = AddHome("home");
  // The former per-user folder: its aged app folder goes, its data stays (the launch
  // sequence never migrates it).
  const std::string legacy = home.path + "/.Skylodge";
  ASSERT_EQ(qvtest::Shell("mkdir -p '" + legacy + "/app/bin' '" + legacy + "/data'"), 0);
  ASSERT_TRUE(qvtest::WriteFile(legacy + "/app/bin/old-client", "old"));
  ASSERT_TRUE(qvtest::WriteFile(legacy + "/data/settings", "keep me"));

  RunOk(home);

  const std::string app = AppFolder(home.path);
  EXPECT_EQ(BuildOf(app + "/INFO"), std::to_string(kBuild));
  EXPECT_EQ(::access((app + "/bin/cloud-drive-ui").c_str(), X_OK), 0);
  EXPECT_EQ(::access((app + "/package/start-stop").c_str(), X_OK), 0);
  EXPECT_EQ(FilesOf(app), FilesOf(root_ + "/package/skylodge"));
  EXPECT_EQ(Backups(home.path), "");

  pid_t client = ClientPid(home.path);
  EXPECT_TRUE(IsClientAlive(client)) << "pid " << client;
  EXPECT_EQ(ExeOf(client), app + "/bin/cloud-drive-ui");

  EXPECT_FALSE(Exists(legacy + "/app"));
  EXPECT_EQ(qvtest::ReadFile(legacy + "/data/settings"), "keep me");
}

TEST_F(LauncherE2e, LogLinesComeInOrderWithTheirPrefix) {
  const Home& home = AddHome("home");
  const std::string& h = home.path;
  LaunchResult first = RunOk(home);

  std::vector<LogLine> log = ReadLog(h);
  ASSERT_GE(log.size(), 7u);
  for (const LogLine& l : log) {
    EXPECT_FALSE(l.tag.empty()) << "malformed line: " << l.raw;
    EXPECT_EQ(l.pid, first.pid) << l.raw;
    EXPECT_LT(l.thread, 100000) << l.raw;
    EXPECT_GT(l.line, 0) << l.raw;
  }
  // The seven start-up lines (their texts are checked in-process) open the log, and the
  // resource root is the install's.
  for (size_t i = 0; i < 7; ++i)
    EXPECT_EQ(log[i].Short().rfind("INFO main.cpp: >>> ", 0), 0u) << log[i].raw;
  EXPECT_EQ(log[6].message, ">>> root_resource_path = " + root_);

  const std::string app = h + "/.QuenvaleDrive/QuenvaleDrive.app";
  const std::string build = std::to_string(kBuild);
  EXPECT_TRUE(InOrder(log, {
      {"DEBUG", "running"},
      {"INFO", "target_version = (1, 0, " + build + ", 1)"},
      {"INFO", "source does not exist"},
      {"DEBUG", "Source version: ('', '')"},
      {"DEBUG", "Target version: ('" + build + "', '1')"},
      {"DEBUG", "source version = 0, target version = " + build},
      {"INFO", "copy package:'" + root_ + "/package/skylodge' -> '" + app + "_staging.<RUN>' "},
      {"DEBUG", "copy from '" + root_ + "/package/skylodge' to '" + app + "_staging.<RUN>'"},
      {"INFO", "user installation is ready, removing backup app"},
      {"INFO", "removing aged app folder " + h + "/.Skylodge/app"},
      {"DEBUG", "done"},
  }));
  // No client ran yet, so there was nothing to stop.
  EXPECT_FALSE(HasMessage(log, "local appdata exist"));
  EXPECT_FALSE(HasMessage(log, "no need to upgrade"));

  // A second launch appends its own lines after the first one's.
  LaunchResult second = RunOk(home);
  std::vector<LogLine> again = ReadLog(h);
  ASSERT_GT(again.size(), log.size());
  for (size_t i = 0; i < log.size(); ++i) EXPECT_EQ(again[i].raw, log[i].raw);
  for (size_t i = log.size(); i < again.size(); ++i) EXPECT_EQ(again[i].pid, second.pid) << again[i].raw;
}

TEST_F(LauncherE2e, NothingToDoLeavesTheCopyAndTheRunningClientAlone) {
  const Home& home = AddHome("home");
  RunOk(home);
  pid_t client = ClientPid(home.path);
  ASSERT_TRUE(IsClientAlive(client));
  const std::string before = Snapshot(AppFolder(home.path));

  LaunchResult again = RunOk(home);

  EXPECT_EQ(Snapshot(AppFolder(home.path)), before);
  EXPECT_EQ(ClientPid(home.path), client);
  EXPECT_TRUE(IsClientAlive(client));
  std::vector<LogLine> lines = LinesOf(ReadLog(home.path), again.pid);
  const std::string build = std::to_string(kBuild);
  EXPECT_TRUE(InOrder(lines, {
      {"DEBUG", "running"},
      {"DEBUG", "Source version: ('" + build + "', '1')"},
      {"DEBUG", "source version = " + build + ", target version = " + build},
      {"DEBUG", "no need to upgrade"},
      {"INFO", "removing aged app folder " + home.path + "/.Skylodge/app"},
      {"DEBUG", "done"},
  }));
  EXPECT_FALSE(HasMessage(lines, "local appdata exist"));
  EXPECT_FALSE(HasMessage(lines, "user installation is ready, removing backup app"));
}

// The time of the first line of the sample client's event file that starts with `what`
// and names `pid` (any pid when 0); -1 when there is none.
double EventTime(const std::string& events, const std::string& what, pid_t pid) {
  std::istringstream in(qvtest::ReadFile(events));
  std::string word;
  long id = 0;
  double when = 0;
  while (in >> word >> id >> when) {
    if (word == what && (pid == 0 || id == pid)) return when;
  }
  return -1;
}

TEST_F(LauncherE2e, UpgradeStopsTheRunningClientAndStartsTheNewOne) {
  const Home& home = AddHome("home");
  const std::string events = home.path + "/client-events";
  LaunchOptions options = SpecFor(root_, home);
  options.env["QV_SAMPLE_EVENTS"] = events;
  ASSERT_EQ(RunLauncher(options).exit_code, 0);
  pid_t old_client = ClientPid(home.path);
  ASSERT_TRUE(IsClientAlive(old_client));

  // A release of over a thousand files: the client must be down only for the swap.
  SetBuild(root_, kBuild + 1);
  ASSERT_TRUE(qvtest::WriteFile(root_ + "/package/skylodge/NEWS", "new in this build\n"));
  ASSERT_EQ(qvtest::Shell("cd '" + root_ + "/package/skylodge' && mkdir -p many && i=0 && "
                          "while [ $i -lt 1200 ]; do echo \"file $i\" > many/f$i; i=$((i+1)); done"),
            0);

  const auto start = std::chrono::steady_clock::now();
  LaunchResult r = RunLauncher(options);
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(r.exit_code, 0) << r.err;

  const std::string app = AppFolder(home.path);
  EXPECT_EQ(BuildOf(app + "/INFO"), std::to_string(kBuild + 1));
  EXPECT_EQ(qvtest::ReadFile(app + "/NEWS"), "new in this build\n");
  EXPECT_EQ(FilesOf(app), FilesOf(root_ + "/package/skylodge"));
  EXPECT_EQ(Backups(home.path), "");
  pid_t new_client = ClientPid(home.path);
  EXPECT_FALSE(IsClientAlive(old_client));
  EXPECT_TRUE(IsClientAlive(new_client));
  EXPECT_NE(new_client, old_client);
  EXPECT_EQ(ExeOf(new_client), app + "/bin/cloud-drive-ui");

  const double stopping = EventTime(events, "stopping", old_client);
  const double started = EventTime(events, "started", new_client);
  ASSERT_GT(stopping, 0) << qvtest::ReadFile(events);
  ASSERT_GT(started, stopping) << qvtest::ReadFile(events);
  std::printf("upgrade of 1200+ files: %.3f s in all; client down %.3f s (SIGTERM to new start)\n", took,
              started - stopping);

  std::vector<LogLine> lines = LinesOf(ReadLog(home.path), r.pid);
  EXPECT_TRUE(InOrder(lines, {
      {"DEBUG", "source version = " + std::to_string(kBuild) + ", target version = " +
                    std::to_string(kBuild + 1)},
      {"INFO", "copy package:'" + root_ + "/package/skylodge' -> '" + app + "_staging.<RUN>' "},
      {"DEBUG", "local appdata exist"},
      {"INFO", "user installation is ready, removing backup app"},
      {"DEBUG", "done"},
  }));
  EXPECT_FALSE(HasMessage(lines, "Failed to upgrade package"));
}

TEST_F(LauncherE2e, FailedCopyLeavesTheOldCopyAndItsClientAlone) {
  // Root reads any file, so the launcher runs as an ordinary user here.
  const Home& home = AddHome("home-user", /*unprivileged=*/true);
  RunOk(home);
  pid_t old_client = ClientPid(home.path);
  ASSERT_TRUE(IsClientAlive(old_client));
  const std::string app = AppFolder(home.path);
  const std::string before = FilesOf(app);

  SetBuild(root_, kBuild + 1);
  const std::string locked = root_ + "/package/skylodge/zz-locked";
  ASSERT_TRUE(qvtest::WriteFile(locked, "nobody may read this\n"));
  ASSERT_EQ(::chmod(locked.c_str(), 0), 0);

  LaunchResult r = RunOk(home);

  EXPECT_EQ(FilesOf(app), before);
  EXPECT_EQ(BuildOf(app + "/INFO"), std::to_string(kBuild));
  EXPECT_EQ(Backups(home.path), "");
  // The copy failed before the client was touched: it runs on, from the old copy.
  EXPECT_EQ(ClientPid(home.path), old_client);
  EXPECT_TRUE(IsClientAlive(old_client));
  EXPECT_EQ(ExeOf(old_client), app + "/bin/cloud-drive-ui");

  std::vector<LogLine> lines = LinesOf(ReadLog(home.path), r.pid);
  EXPECT_FALSE(HasMessage(lines, "local appdata exist"));
  EXPECT_TRUE(InOrder(lines, {
      {"ERROR", "Failed to extract package, rollback to old installation"},
      {"ERROR", "Failed to upgrade package"},
      {"INFO", "removing aged app folder " + home.path + "/.Skylodge/app"},
      {"DEBUG", "done"},
  }));
}

TEST_F(LauncherE2e, SecondLauncherExitsAtOnceAndChangesNothing) {
  // The first launcher stays busy in its start script until the test releases it.
  const std::string marks = qvtest::MakeTempDir("marks");
  const std::string busy = marks + "/busy", release = marks + "/release";
  ASSERT_TRUE(qvtest::WriteFile(root_ + "/package/skylodge/package/start-stop",
                                "#!/bin/sh\n: > '" + busy + "'\nwhile [ ! -e '" + release +
                                    "' ]; do sleep 0.05; done\n"));
  struct Release {
    std::string path;
    ~Release() { qvtest::WriteFile(path, ""); }
  } release_guard{release};

  const Home& home = AddHome("home");
  pid_t first = StartLauncher(SpecFor(root_, home));
  ASSERT_GT(first, 0);
  for (int i = 0; i < 6000 && !Exists(busy); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(Exists(busy)) << "the first launcher never reached its start script";

  // A newer package is waiting, but only the first launcher may act.
  SetBuild(root_, kBuild + 1);
  const std::string before = Snapshot(AppFolder(home.path));
  LaunchResult second = RunLauncher(SpecFor(root_, home), 30000);
  EXPECT_FALSE(second.timed_out);
  EXPECT_EQ(second.exit_code, 0) << second.err;
  EXPECT_EQ(Snapshot(AppFolder(home.path)), before);
  EXPECT_EQ(BuildOf(AppFolder(home.path) + "/INFO"), std::to_string(kBuild));

  std::vector<LogLine> lines = LinesOf(ReadLog(home.path), second.pid);
  // Said at a level that the default level file lets through, with the lock's holder.
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  EXPECT_TRUE(InOrder(lines, {{"WARNING", "app has already launched, return"},
                              {"WARNING", "the single-instance lock '" + home.path + "/.run/launcher.single.lock' is held by pid " +
                                              std::to_string(first) + " on host '" + host + "'"}}));
  EXPECT_FALSE(HasMessage(lines, "running"));

  ASSERT_TRUE(qvtest::WriteFile(release, ""));
  LaunchResult done = WaitLauncher(first);
  EXPECT_EQ(done.exit_code, 0) << done.err;
  EXPECT_TRUE(HasMessage(LinesOf(ReadLog(home.path), first), "done"));
}

// --upgrade-running, as the package's systemd user service runs it after an upgrade:
// only a running client is brought up to date, the usual way; otherwise nothing changes,
// not even the log. The package's start script records each call.
TEST_F(LauncherE2e, UpgradeRunningActsOnlyOnARunningClient) {
  const std::string script = root_ + "/package/skylodge/package/start-stop";
  const std::string calls = qvtest::MakeTempDir("calls") + "/start-stop";
  ASSERT_EQ(::rename(script.c_str(), (script + ".real").c_str()), 0);
  ASSERT_TRUE(qvtest::WriteFile(script, "#!/bin/sh\necho \"$@\" >>'" + calls + "'\nexec \"$0.real\" \"$@\"\n"));
  ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
  const Home& home = AddHome("home");
  LaunchOptions upgrade_only = SpecFor(root_, home);
  upgrade_only.args = {"--upgrade-running"};
  const std::string not_running = "lib path = '" + root_ + "/lib/plugins'\nthe client does not run, nothing to upgrade\n";

  // No client at all: not even the per-user folder is made.
  LaunchResult r = RunLauncher(upgrade_only);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, not_running);
  EXPECT_FALSE(Exists(UserFolder(home.path)));

  RunOk(home);
  const pid_t first = ClientPid(home.path);
  ASSERT_TRUE(IsClientAlive(first));
  ASSERT_EQ(qvtest::ReadFile(calls), "start\n");

  // Running and current: the client is left alone, its start script is not run.
  r = RunLauncher(upgrade_only);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ClientPid(home.path), first);
  EXPECT_TRUE(IsClientAlive(first));
  EXPECT_EQ(qvtest::ReadFile(calls), "start\n");
  std::vector<LogLine> lines = LinesOf(ReadLog(home.path), r.pid);
  EXPECT_TRUE(InOrder(lines, {{"INFO", "the client runs, upgrading it if needed"},
                              {"DEBUG", "no need to upgrade"},
                              {"DEBUG", "done"}}));

  // A newer package, but the client has ended: nothing changes, not even what an
  // interrupted upgrade left (the next start deals with it).
  StopClient(first);
  SetBuild(root_, kBuild + 1);
  ASSERT_EQ(::mkdir((AppFolder(home.path) + "_staging").c_str(), 0755), 0);
  const std::string before = Snapshot(UserFolder(home.path));
  r = RunLauncher(upgrade_only);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, not_running);
  EXPECT_EQ(Snapshot(UserFolder(home.path)), before);
  ASSERT_EQ(::rmdir((AppFolder(home.path) + "_staging").c_str()), 0);

  // Running from the older copy: staged, stopped, swapped and started, as at a start.
  ASSERT_EQ(qvtest::Shell("HOME='" + home.path + "' '" + AppFolder(home.path) + "/package/start-stop' start"), 0);
  const pid_t old_client = ClientPid(home.path);
  ASSERT_TRUE(IsClientAlive(old_client));
  r = RunLauncher(upgrade_only);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(BuildOf(AppFolder(home.path) + "/INFO"), std::to_string(kBuild + 1));
  EXPECT_EQ(Backups(home.path), "");
  const pid_t new_client = ClientPid(home.path);
  EXPECT_FALSE(IsClientAlive(old_client));
  EXPECT_TRUE(IsClientAlive(new_client));
  EXPECT_EQ(ExeOf(new_client), AppFolder(home.path) + "/bin/cloud-drive-ui");
  EXPECT_EQ(qvtest::ReadFile(calls), "start\nstart\nstart\n");
  lines = LinesOf(ReadLog(home.path), r.pid);
  EXPECT_TRUE(InOrder(lines, {{"INFO", "the client runs, upgrading it if needed"},
                              {"DEBUG", "source version = " + std::to_string(kBuild) + ", target version = " +
                                            std::to_string(kBuild + 1)},
                              {"DEBUG", "local appdata exist"},
                              {"INFO", "user installation is ready, removing backup app"},
                              {"DEBUG", "done"}}));
}

// The ways a user or a desktop starts the launcher. Each runs from a folder outside the
// install; a link lives in a folder of its own, as /usr/bin/quenvale-drive does.
enum class StartedBy { kAbsolutePath, kRelativePath, kBareNameInPath, kAbsoluteLinkInPath, kRelativeLink };

class StartedAnyWay : public LauncherE2e, public ::testing::WithParamInterface<StartedBy> {};

TEST_P(StartedAnyWay, FindsItsInstallAndStartsTheClient) {
  namespace fs = std::filesystem;
  const std::string elsewhere = qvtest::MakeTempDir("elsewhere");
  const std::string links = qvtest::MakeTempDir("links");
  const std::string launcher = root_ + "/bin/launcher";
  const Home& home = AddHome("home");
  LaunchOptions options = SpecFor(root_, home);
  options.cwd = elsewhere;
  const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
  switch (GetParam()) {
    case StartedBy::kAbsolutePath:
      options.program = launcher;
      break;
    case StartedBy::kRelativePath:
      options.program = fs::relative(launcher, elsewhere).string();
      break;
    case StartedBy::kBareNameInPath:
      options.program = "launcher";
      options.env["PATH"] = root_ + "/bin:" + path;
      break;
    case StartedBy::kAbsoluteLinkInPath:
      fs::create_symlink(launcher, links + "/quenvale-drive");
      options.program = "quenvale-drive";
      options.env["PATH"] = links + ":" + path;
      break;
    case StartedBy::kRelativeLink:
      fs::create_symlink(fs::relative(launcher, links), links + "/quenvale-drive");
      options.program = fs::relative(links + "/quenvale-drive", elsewhere).string();
      break;
  }

  LaunchResult r = RunLauncher(options);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0) << "signal " << r.term_signal << "\nstderr:\n" << r.err;
  EXPECT_EQ(r.out, "lib path = '" + root_ + "/lib/plugins'\n");
  EXPECT_TRUE(HasMessage(LinesOf(ReadLog(home.path), r.pid), ">>> root_resource_path = " + root_));
  // The run ends without Qt's teardown, which neither the lock nor the log's last line
  // may notice.
  EXPECT_NE(::access((home.path + "/.run/launcher.single.lock").c_str(), F_OK), 0);
  EXPECT_TRUE(HasMessage(LinesOf(ReadLog(home.path), r.pid), "done"));
  EXPECT_EQ(BuildOf(AppFolder(home.path) + "/INFO"), std::to_string(kBuild));
  pid_t client = ClientPid(home.path);
  EXPECT_TRUE(IsClientAlive(client));
  EXPECT_EQ(ExeOf(client), AppFolder(home.path) + "/bin/cloud-drive-ui");
}

const char* const kStartedByNames[] = {"AbsolutePath", "RelativePath", "BareNameInPath", "AbsoluteLinkInPath",
                                       "RelativeLink"};
void PrintTo(StartedBy how, std::ostream* os) { *os << kStartedByNames[static_cast<int>(how)]; }
std::string NameOf(const ::testing::TestParamInfo<StartedBy>& info) {
  return kStartedByNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(E2e, StartedAnyWay,
                         ::testing::Values(StartedBy::kAbsolutePath, StartedBy::kRelativePath,
                                           StartedBy::kBareNameInPath, StartedBy::kAbsoluteLinkInPath,
                                           StartedBy::kRelativeLink),
                         NameOf);

// The install's plug-in folder is the only one searched: without its platform plug-in
// the launcher cannot start, even though the system's Qt has one.
TEST_F(LauncherE2e, LoadsPluginsFromTheInstallOnly) {
  ASSERT_EQ(::unlink((root_ + "/lib/plugins/platforms/libqoffscreen.so").c_str()), 0);
  const Home& home = AddHome("home");
  LaunchResult broken = RunLauncher(SpecFor(root_, home));
  EXPECT_FALSE(broken.timed_out);
  EXPECT_FALSE(broken.exit_code == 0 && broken.term_signal == 0);
  EXPECT_FALSE(Exists(AppFolder(home.path)));
}

// A display with no X server behind it now: neither its socket file nor its abstract
// socket (which an X client tries first) exists. The tests' own servers take numbers
// from 200 up, so the search stays below them.
std::string UnreachableDisplay() {
  const std::string sockets = qvtest::ReadFile("/proc/net/unix");
  for (int n = 97; n < 200; ++n) {
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
    if (!Exists(socket) && sockets.find("@" + socket + "\n") == std::string::npos) {
      return ":" + std::to_string(n);
    }
  }
  return "";
}

// Without QT_QPA_PLATFORM and without a usable display the launcher falls back to the
// offscreen platform, says so, and still installs; the client it starts does not
// inherit that choice.
TEST_F(LauncherE2e, RunsWithoutAnyDisplayAndLeavesThePlatformChoiceAlone) {
  const std::string unreachable = UnreachableDisplay();
  ASSERT_FALSE(unreachable.empty());
  for (const std::string& display : {std::string(), unreachable}) {
    SCOPED_TRACE("DISPLAY='" + display + "'");
    const Home& home = AddHome("home");
    LaunchOptions options = SpecFor(root_, home);
    options.env["QT_QPA_PLATFORM"] = std::nullopt;
    if (!display.empty()) options.env["DISPLAY"] = display;
    LaunchResult r = RunLauncher(options);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << "signal " << r.term_signal << "\nstderr:\n" << r.err;

    EXPECT_TRUE(InOrder(ReadLog(home.path),
                        {{"WARNING", "no display could be opened (DISPLAY='" + display +
                                         "'), running without a window"},
                         {"DEBUG", "done"}}));
    pid_t client = ClientPid(home.path);
    ASSERT_TRUE(IsClientAlive(client));
    const std::string environ_text =
        std::string(1, '\0') + qvtest::ReadFile("/proc/" + std::to_string(client) + "/environ");
    EXPECT_NE(environ_text.find(std::string("\0HOME=", 6)), std::string::npos);
    EXPECT_EQ(environ_text.find(std::string("\0QT_QPA_PLATFORM=", 17)), std::string::npos);
  }
}

// Another machine on the same network home holds the upgrade lock and keeps it fresh,
// its clock ten minutes ahead of this one's: the launcher waits for it like for any
// fresh lock, and upgrades once the holder has let it go.
TEST_F(LauncherE2e, ALockKeptFreshWithTimesAheadIsWaitedFor) {
  const Home& home = AddHome("home");
  const std::string lock = UserFolder(home.path) + "/upgrade.lock";
  ASSERT_EQ(0, qvtest::Shell("mkdir -p '" + UserFolder(home.path) + "'"));
  ASSERT_TRUE(qvtest::WriteFile(lock, "4242\nlauncher\nelsewhere.example\n" + std::string(32, '7') + "\n" +
                                          std::string(36, '7') + "\n"));
  const pid_t holder = qvtest::KeepTouching(lock, 600, 50);
  ASSERT_GT(holder, 0);
  const pid_t launcher = StartLauncher(SpecFor(root_, home));
  const std::string waiting = "another launcher is upgrading '" + AppFolder(home.path) +
                              "' (pid 4242 on host 'elsewhere.example'), waiting for it";
  bool waited = false;
  for (int i = 0; i < 3000 && !waited && Running(launcher); ++i) {
    waited = HasMessage(ReadLog(home.path), waiting);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(waited) << "the lock was not waited for";
  // Well past the times that the lock bears, the launcher still waits and has touched
  // nothing.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_TRUE(Running(launcher));
  EXPECT_FALSE(Exists(AppFolder(home.path)));
  EXPECT_EQ("", Backups(home.path));

  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ASSERT_EQ(0, ::unlink(lock.c_str()));
  const LaunchResult r = WaitLauncher(launcher);
  EXPECT_EQ(0, r.exit_code) << r.err;
  EXPECT_EQ(FilesOf(root_ + "/package/skylodge"), FilesOf(AppFolder(home.path)));
  EXPECT_TRUE(IsClientAlive(ClientPid(home.path)));
}

// Tasks (processes and threads) whose real user is uid, machine-wide: what a process
// limit counts.
int TasksOf(unsigned uid) {
  return std::atoi(qvtest::ShellOutput("ps -L -U " + std::to_string(uid) + " -o lwp= | wc -l").c_str());
}

// Under a process limit just above what the user runs, any thread or process the
// launcher starts may be refused. Whichever it is, the launcher ends, leaves a whole copy
// or none, and logs why the client does not run. Each run needs a user of its own: the
// limit counts every task of its user on the machine.
TEST_F(LauncherE2e, UnderATightProcessLimitItAlwaysEndsAndSaysWhy) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to run as users of its own";
  SetAllLevels(root_, 4);
  const std::string package = FilesOf(root_ + "/package/skylodge");
  // spare: the tasks that the launcher may start beside its main thread.
  auto launch = [&](const Home& home, unsigned uid, int spare) {
    LaunchOptions options = SpecFor(root_, home);
    const int limit = TasksOf(uid) + 1 + spare;
    options.wrapper = {"bash", "-c",
                       "ulimit -u " + std::to_string(limit) + " && exec setpriv --reuid=" + std::to_string(uid) +
                           " --regid=" + std::to_string(uid) + " --clear-groups \"$0\""};
    // LeakSanitizer's check at exit needs a task of its own.
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.env["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
    LaunchResult r = RunLauncher(options, 60000);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(0, r.term_signal) << r.err;
    EXPECT_EQ(0, r.exit_code) << r.err;
    const std::vector<LogLine> log = ReadLog(home.path);
    std::cout << "[ limit    ] " << spare << " spare: exit " << r.exit_code << ", last line: "
              << (log.empty() ? std::string("(none)") : log.back().raw) << "\n";
    return log;
  };
  auto make_home = [&](unsigned uid) -> const Home& {
    const Home& home = AddHome("limited");
    EXPECT_EQ(0, qvtest::Shell("chown -R " + std::to_string(uid) + ":" + std::to_string(uid) + " '" + home.path + "'"));
    EXPECT_EQ(0, TasksOf(uid)) << "user " << uid << " is in use";
    return home;
  };
  const std::string no_thread = "no thread can be started (Resource temporarily unavailable)";

  // A first install, from no spare task (no worker thread) to enough.
  for (int spare = 0; spare <= 4; ++spare) {
    SCOPED_TRACE(std::to_string(spare) + " spare");
    const unsigned uid = qvtest::ClaimUid(64351);
    ASSERT_NE(0u, uid);
    const Home& home = make_home(uid);
    const std::vector<LogLine> log = launch(home, uid, spare);
    const std::string app = AppFolder(home.path);
    if (spare == 0) {
      EXPECT_FALSE(Exists(app));
      EXPECT_TRUE(InOrder(log, {{"ERROR", "the client cannot be installed now: " + no_thread}}));
    } else {
      EXPECT_EQ(package, FilesOf(app));
    }
    EXPECT_EQ("", Backups(home.path));
    const pid_t client = ClientPid(home.path);
    bool said = false;
    for (const LogLine& l : log) said = said || l.tag == "ERROR" || l.tag == "WARNING";
    EXPECT_TRUE(IsClientAlive(client) || said) << "no client, and no word why";
    StopAllClients({home.path});
  }

  // An upgrade without a worker thread: the copy in use and its client stay.
  const unsigned uid = qvtest::ClaimUid(64351);
  ASSERT_NE(0u, uid);
  const Home& home = make_home(uid);
  launch(home, uid, 8);
  const pid_t client = ClientPid(home.path);
  ASSERT_TRUE(IsClientAlive(client));
  SetBuild(root_, kBuild + 1);
  const std::vector<LogLine> log = launch(home, uid, 0);
  EXPECT_TRUE(InOrder(log, {{"ERROR", "not upgrading the copy in use now: " + no_thread}}));
  EXPECT_EQ(std::to_string(kBuild), BuildOf(AppFolder(home.path) + "/INFO"));
  EXPECT_EQ(client, ClientPid(home.path));
  EXPECT_TRUE(IsClientAlive(client));
  EXPECT_EQ("", Backups(home.path));
}

// A copy damaged after its install (a crash, a clean-up tool, a half restore), with the
// session bus's notifications recorded and the client's starts and stops logged.
class DamagedCopyE2e : public LauncherE2e {
 protected:
  void SetUp() override {
    LauncherE2e::SetUp();
    home_ = &AddHome("home");
    const std::string bus = StartNotifyBus(qvtest::MakeTempDir("bus") + "/socket");
    ASSERT_NE("", bus);
    options_ = SpecFor(root_, *home_);
    options_.env["DBUS_SESSION_BUS_ADDRESS"] = bus;
    options_.env["QV_SAMPLE_EVENTS"] = home_->path + "/client-events";
    app_ = AppFolder(home_->path);
    package_ = root_ + "/package/skylodge";
  }

  // Installs the copy and stops its client, as a logout would; the user's data is there.
  void InstallAndStop() {
    ASSERT_EQ(0, RunLauncher(options_).exit_code);
    ASSERT_TRUE(IsClientAlive(ClientPid(home_->path)));
    StopClient(ClientPid(home_->path));
    ASSERT_EQ(0, ::mkdir((UserFolder(home_->path) + "/data").c_str(), 0700));
    ASSERT_TRUE(qvtest::WriteFile(UserFolder(home_->path) + "/data/settings", "mine\n"));
  }

  // The messages of one run's log lines, by tag.
  std::map<std::string, std::vector<std::string>> Run() {
    const LaunchResult r = RunLauncher(options_);
    EXPECT_EQ(0, r.exit_code) << r.err;
    std::map<std::string, std::vector<std::string>> tagged;
    for (const LogLine& l : LinesOf(ReadLog(home_->path), r.pid)) tagged[l.tag].push_back(l.message);
    return tagged;
  }

  // One start mends the copy: one WARNING that names the damage, no ERROR, nothing told,
  // the client of the mended copy runs and the user's data is as it was.
  void ExpectRepairedInOneStart(const std::string& damage) {
    auto lines = Run();
    const std::vector<std::string> warnings = lines["WARNING"];
    ASSERT_EQ(1u, warnings.size());
    EXPECT_EQ(0u, warnings[0].find("the copy '" + app_ + "' differs from the package (" + damage)) << warnings[0];
    EXPECT_NE(std::string::npos, warnings[0].find(": installing it again")) << warnings[0];
    EXPECT_EQ(std::vector<std::string>{}, lines["ERROR"]);
    EXPECT_EQ(std::vector<std::string>{}, Notifications());
    EXPECT_EQ(FilesOf(package_), FilesOf(app_));
    EXPECT_TRUE(IsClientAlive(ClientPid(home_->path)));
    EXPECT_EQ("mine\n", qvtest::ReadFile(UserFolder(home_->path) + "/data/settings"));
    EXPECT_EQ("", Backups(home_->path));
  }

  // "word pid" of the client's events, oldest first.
  std::vector<std::string> Events() {
    std::istringstream in(qvtest::ReadFile(home_->path + "/client-events"));
    std::vector<std::string> events;
    std::string word;
    long pid = 0;
    double when = 0;
    while (in >> word >> pid >> when) events.push_back(word + " " + std::to_string(pid));
    return events;
  }

  std::string Told(const std::string& reason) const {
    return "Quenvale Drive Client\t0\tquenvale-drive\tQuenvale Drive could not be started\t" + reason +
           "\\nThe log is in " + UserFolder(home_->path) + "/log/launcher.log.\tquenvale-drive\t2";
  }

  const Home* home_ = nullptr;
  LaunchOptions options_;
  std::string app_, package_;
};

TEST_F(DamagedCopyE2e, ATruncatedClientAndAMissingStartScriptAreEachRepairedInOneStart) {
  InstallAndStop();
  const std::string size = std::to_string(std::filesystem::file_size(app_ + "/bin/cloud-drive-ui"));
  ASSERT_EQ(0, ::truncate((app_ + "/bin/cloud-drive-ui").c_str(), 0));
  ExpectRepairedInOneStart("'bin/cloud-drive-ui' is 0 bytes, not " + size +
                           ") and its client did not start (the start script exited with status 1)");

  StopClient(ClientPid(home_->path));
  ASSERT_EQ(0, ::unlink((app_ + "/package/start-stop").c_str()));
  ExpectRepairedInOneStart("'package/start-stop' is missing) and its client did not start (the start script could "
                           "not run: No such file or directory)");
}

// A file the client needs only later: its start goes ahead, the copy is mended after it
// the way a running client is upgraded.
TEST_F(DamagedCopyE2e, AFileTheStartDoesNotNeedIsRepairedAfterTheStart) {
  ASSERT_EQ(0, qvtest::Shell("mkdir -p '" + package_ + "/share' && echo help > '" + package_ + "/share/help.txt'"));
  InstallAndStop();
  ASSERT_EQ(0, ::unlink((app_ + "/share/help.txt").c_str()));
  const size_t before = Events().size();
  ExpectRepairedInOneStart("'share/help.txt' is missing)");
  const std::vector<std::string> events = Events();
  ASSERT_EQ(before + 3, events.size());
  const std::string first = events[before].substr(events[before].find(' ') + 1);
  const std::string now = std::to_string(ClientPid(home_->path));
  EXPECT_EQ((std::vector<std::string>{"started " + first, "stopping " + first, "started " + now}),
            std::vector<std::string>(events.begin() + static_cast<long>(before), events.end()));
  EXPECT_NE(first, now);

  // The same file gone again for the same build: the client's doing, left alone, said once.
  ASSERT_EQ(0, ::unlink((app_ + "/share/help.txt").c_str()));
  for (size_t notes : {1u, 0u}) {
    auto lines = Run();
    EXPECT_EQ(0u, lines["WARNING"].size());
    EXPECT_EQ(notes, lines["NOTE"].size());
    EXPECT_FALSE(Exists(app_ + "/share/help.txt"));
  }
  EXPECT_TRUE(IsClientAlive(ClientPid(home_->path)));
}

// The package's client cannot run either: one repair, then the package is blamed once,
// told once, and the next start neither repairs nor tells again.
TEST_F(DamagedCopyE2e, ABrokenPackageIsOneErrorAndOneNotificationAndNoLoop) {
  InstallAndStop();
  ASSERT_EQ(0, ::truncate((app_ + "/bin/cloud-drive-ui").c_str(), 0));
  ASSERT_EQ(0, ::chmod((package_ + "/bin/cloud-drive-ui").c_str(), 0644));
  const std::string reason = "the start script exited with status 1; its copy is the same as the package '" +
                             package_ + "' of build " + std::to_string(kBuild) + ", which is at fault";
  const std::string error = "the client of '" + app_ + "' did not start (" + reason + ")";
  auto lines = Run();
  EXPECT_EQ(1u, lines["WARNING"].size());
  EXPECT_EQ(std::vector<std::string>{error}, lines["ERROR"]);
  EXPECT_EQ(std::vector<std::string>{Told(reason)}, Notifications());
  EXPECT_EQ(FilesOf(package_), FilesOf(app_));

  lines = Run();
  EXPECT_EQ(0u, lines["WARNING"].size());
  EXPECT_EQ(std::vector<std::string>{error}, lines["ERROR"]);
  EXPECT_EQ(std::vector<std::string>{Told(reason)}, Notifications()) << "told once for the cause and build";
}

// Nothing to mend: the start script itself fails on a copy that is the package's.
TEST_F(DamagedCopyE2e, AStartScriptThatFailsOnAnIntactCopyIsAnErrorAndTold) {
  ASSERT_TRUE(qvtest::WriteFile(package_ + "/package/start-stop", "#!/bin/sh\nexit 1\n"));
  const std::string reason = "the start script exited with status 1; its copy is the same as the package '" +
                             package_ + "' of build " + std::to_string(kBuild) + ", which is at fault";
  EXPECT_EQ(std::vector<std::string>{"the client of '" + app_ + "' did not start (" + reason + ")"}, Run()["ERROR"]);
  EXPECT_EQ(std::vector<std::string>{Told(reason)}, Notifications());
}

}  // namespace
}  // namespace e2e
