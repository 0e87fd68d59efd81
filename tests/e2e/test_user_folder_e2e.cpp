// The installed launcher on the ground of real machines: a package replaced the way a
// package upgrade unpacks it while a user's copy is made, a home mounted noexec, other
// users on the machine, Deepin's XDG_DATA_HOME, no HOME at all, and two launchers of
// other sessions or hosts on one home.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "e2e_env.h"
#include "test_env.h"
#include "build_paths.h"

namespace e2e {
namespace {

const std::string kUnpack = QV_SOURCE_DIR + "/tests/e2e/data/unpack_like_dpkg.py";

std::string Q(const std::string& s) { return "'" + s + "'"; }

unsigned ModeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFFu;
}

// Files only, with modes and contents.
std::string FilesOf(const std::string& dir) {
  return qvtest::ShellOutput("cd " + Q(dir) + " && find . -type f -printf '%p %m %s\\n' | sort" +
                             " && find . -type f -exec md5sum {} + | sort");
}

// Every entry with its kind and mode.
std::string ModesOf(const std::string& dir) {
  return qvtest::ShellOutput("cd " + Q(dir) + " && find . -printf '%P %y %m\\n' | sort");
}

std::string Backups(const std::string& home) {
  return qvtest::ShellOutput("ls -d " + Q(UserFolder(home)) + "/QuenvaleDrive.app_* 2>/dev/null");
}

std::vector<std::string> Tagged(const std::vector<LogLine>& log, const std::string& tag) {
  std::vector<std::string> out;
  for (const LogLine& l : log) {
    if (l.tag == tag) out.push_back(l.raw);
  }
  return out;
}

const LogLine* Find(const std::vector<LogLine>& log, const std::string& start) {
  for (const LogLine& l : log) {
    if (l.message.rfind(start, 0) == 0) return &l;
  }
  return nullptr;
}

// Waits, in short steps, until done() holds or a minute has passed.
bool Await(const std::function<bool()>& done) {
  for (int i = 0; i < 6000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// The live clients started from app.
int ClientsOf(const std::string& app) {
  return std::atoi(qvtest::ShellOutput("n=0; for e in /proc/[0-9]*/exe; do [ \"$(readlink \"$e\" 2>/dev/null)\" = " +
                                       Q(app + "/bin/cloud-drive-ui") + " ] && n=$((n+1)); done; echo $n")
                       .c_str());
}

class UserFolderE2e : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    root_ = InstallTree();
    SetAllLevels(root_, 7);
    old_umask_ = ::umask(022);
  }
  void TearDown() override {
    ::umask(old_umask_);
    E2eTest::TearDown();
  }

  LaunchResult RunOk(const LaunchOptions& options) {
    LaunchResult r = RunLauncher(options);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(0, r.exit_code) << "signal " << r.term_signal << "\nstderr:\n" << r.err;
    return r;
  }

  // Writes build `build` of a package of `files` data files into the install, in the
  // given way (see unpack_like_dpkg.py).
  void Unpack(int build, int files, const std::string& order) {
    ASSERT_EQ(0, qvtest::Shell("python3 " + Q(kUnpack) + " " + Q(root_) + " " + std::to_string(build) + " " +
                               std::to_string(files) + " " + order));
  }

  std::string CheckBuild(const std::string& app) {
    return qvtest::ShellOutput("python3 " + Q(kUnpack) + " --check " + Q(app));
  }

  // A launch whose every data copy is held up by a few milliseconds, optionally on a
  // host of its own.
  LaunchOptions Slowed(const Home& home, int delay_us, const std::string& host = "") {
    LaunchOptions options = SpecFor(root_, home);
    const std::string strace = "strace -f -b execve -qq --seccomp-bpf -o /dev/null -e trace=copy_file_range -e inject=copy_file_range:delay_enter=" +
                               std::to_string(delay_us);
    options.wrapper = {"sh", "-c", (host.empty() ? "" : "hostname " + host + " && ") + "exec " + strace + " \"$0\""};
    if (!host.empty()) options.wrapper.insert(options.wrapper.begin(), {"unshare", "-u"});
    // LeakSanitizer cannot work under a tracer.
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.env["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
    return options;
  }

  static int StagedFiles(const std::string& home) {
    return std::atoi(qvtest::ShellOutput("find " + Q(AppFolder(home)) + "_staging.* -type f 2>/dev/null | wc -l")
                         .c_str());
  }

  // Mounts a tmpfs on the home, in a mount namespace of the test's own, with its XDG
  // folders made again. False when that was refused.
  static bool MountHome(const Home& home, unsigned long flags, const std::string& size) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", home.path.c_str(), "tmpfs", flags, ("size=" + size + ",mode=0755").c_str()) != 0) {
      return false;
    }
    return qvtest::Shell("cd " + Q(home.path) + " && mkdir -p .local/share .config .cache .run && chmod 700 .run") == 0;
  }

  // The notification's fields as notify_recorder records them, for a summary and body.
  static std::string Told(const std::string& summary, const std::string& body, int urgency) {
    return "Quenvale Drive Client\t0\tquenvale-drive\t" + summary + "\t" + body + "\tquenvale-drive\t" +
           std::to_string(urgency);
  }

  // The body of the notification for the last "not enough free space" line of the log.
  static std::string NoSpaceBody(const Home& home) {
    unsigned long long needed = 0, free_bytes = 0;
    const std::string head = "not enough free space in '" + UserFolder(home.path) + "' for the package: ";
    for (const LogLine& l : ReadLog(home.path)) {
      if (l.message.rfind(head, 0) == 0) {
        std::sscanf(l.message.c_str() + head.size(), "%llu bytes needed, %llu bytes free", &needed, &free_bytes);
      }
    }
    EXPECT_GT(needed, free_bytes);
    const unsigned long long mb = 1000000;
    return "Not enough space in " + UserFolder(home.path) + ": " + std::to_string((needed + mb - 1) / mb) +
           " MB needed, " + std::to_string(free_bytes / mb) + " MB free; free " +
           std::to_string((needed - free_bytes + mb - 1) / mb) + " MB there, then start Quenvale Drive again.";
  }

  std::string root_;
  mode_t old_umask_ = 022;
};

// The package is replaced while it is copied, after 150 of its 600 files: the user's
// copy must come out as one build, never INFO of one and files of the other.
class ReplacedPackageE2e : public UserFolderE2e {
 protected:
  void ReplaceDuringTheCopy(bool existing_copy, const std::string& order) {
    if (qvtest::Shell("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
    const Home& home = AddHome("mixed");
    const std::string app = AppFolder(home.path);
    Unpack(2001, 600, "direct");
    int build = 2002;
    if (existing_copy) {
      RunOk(SpecFor(root_, home));
      ASSERT_EQ("one build 2001\n", CheckBuild(app));
      Unpack(2002, 600, "direct");
      build = 2003;
    }

    const pid_t launcher = StartLauncher(Slowed(home, 3000));
    ASSERT_TRUE(Await([&] { return StagedFiles(home.path) >= 150; })) << "the copy never got under way";
    // The tracer stopped, the copying threads wait at their next copy: the package is
    // replaced while the copy is surely unfinished, whatever the machine's load.
    ::kill(launcher, SIGSTOP);
    Unpack(build, 600, order);
    ::kill(launcher, SIGCONT);
    LaunchResult r = WaitLauncher(launcher);
    EXPECT_EQ(0, r.exit_code) << r.err;

    EXPECT_EQ("one build " + std::to_string(build) + "\n", CheckBuild(app));
    EXPECT_EQ("", Backups(home.path));
    EXPECT_NE(nullptr, Find(ReadLog(home.path), "the package '" + root_ + "/package/skylodge' changed while it was copied ("));

    // The next start finds the newest build in place and only starts its client.
    RunOk(SpecFor(root_, home));
    EXPECT_EQ("one build " + std::to_string(build) + "\n", CheckBuild(app));
    EXPECT_EQ(FilesOf(root_ + "/package/skylodge"), FilesOf(app));
    EXPECT_TRUE(IsClientAlive(ClientPid(home.path)));
  }
};

TEST_F(ReplacedPackageE2e, FirstInstallWithInfoRenamedFirst) { ReplaceDuringTheCopy(false, "info-first"); }
TEST_F(ReplacedPackageE2e, FirstInstallWithInfoRenamedLast) { ReplaceDuringTheCopy(false, "info-last"); }
TEST_F(ReplacedPackageE2e, UpgradeOfACopyWithInfoRenamedLast) { ReplaceDuringTheCopy(true, "info-last"); }

// A home where nothing may be run: the copy is made, and the log and the desktop (in the
// user's language) say why the client does not start.
TEST_F(UserFolderE2e, AHomeMountedNoexecIsReported) {
  const Home& home = AddHome("noexec");
  if (!MountHome(home, MS_NOEXEC, "64m")) GTEST_SKIP() << "a tmpfs in a private mount namespace was refused";
  // Where a session's bus is when DBUS_SESSION_BUS_ADDRESS is not set.
  ASSERT_NE("", StartNotifyBus(home.path + "/.run/bus"));
  LaunchOptions german = SpecFor(root_, home);
  german.env["LANG"] = std::string("de_DE.UTF-8");
  german.env["LANGUAGE"] = std::nullopt;
  german.env["LC_ALL"] = std::nullopt;
  german.env["LC_MESSAGES"] = std::nullopt;
  RunOk(german);
  EXPECT_EQ(std::vector<std::string>{Told("Quenvale Drive konnte nicht gestartet werden",
                                          "Ihr persönlicher Ordner liegt auf einem mit noexec eingehängten Dateisystem, "
                                          "auf dem keine Programme laufen dürfen: Der Client in " +
                                              UserFolder(home.path) + " kann nicht starten.",
                                          2)},
            Notifications());

  const std::string app = AppFolder(home.path);
  EXPECT_EQ(FilesOf(root_ + "/package/skylodge"), FilesOf(app));
  EXPECT_EQ(0, ClientPid(home.path));
  const std::vector<std::string> errors = Tagged(ReadLog(home.path), "ERROR");
  ASSERT_EQ(1u, errors.size());
  EXPECT_NE(std::string::npos, errors[0].find("failed to run the start script '" + app + "/package/start-stop': "))
      << errors[0];
  EXPECT_NE(std::string::npos, errors[0].find(" (its file system is mounted noexec)")) << errors[0];
}

// No room for the first install: the desktop is told what to free, once for this build,
// and again for the next one.
TEST_F(UserFolderE2e, AFirstInstallRefusedForSpaceIsToldOncePerBuild) {
  const Home& home = AddHome("full");
  if (!MountHome(home, 0, "8m")) GTEST_SKIP() << "a tmpfs in a private mount namespace was refused";
  ASSERT_NE("", StartNotifyBus(home.path + "/.run/bus"));
  RunOk(SpecFor(root_, home));
  const std::string told = Told("Quenvale Drive could not be installed", NoSpaceBody(home), 2);
  EXPECT_EQ(std::vector<std::string>{told}, Notifications());
  EXPECT_FALSE(IsClientAlive(ClientPid(home.path)));

  RunOk(SpecFor(root_, home));
  EXPECT_EQ(std::vector<std::string>{told}, Notifications()) << "the same cause for the same build";
  SetBuild(root_, std::stoi(BuildOf(root_ + "/INFO")) + 1);
  RunOk(SpecFor(root_, home));
  ASSERT_EQ(2u, Notifications().size());
  EXPECT_EQ(told, Notifications()[1]);
}

// A successful install and a start with nothing to do tell nothing; an upgrade that
// does not fit tells that the old client runs on, and it does.
TEST_F(UserFolderE2e, AnUpgradeRefusedForSpaceIsToldWhileTheOldClientRuns) {
  const Home& home = AddHome("filling");
  if (!MountHome(home, 0, "64m")) GTEST_SKIP() << "a tmpfs in a private mount namespace was refused";
  const std::string bus = StartNotifyBus(qvtest::MakeTempDir("bus") + "/socket");
  ASSERT_NE("", bus);
  LaunchOptions options = SpecFor(root_, home);
  options.env["DBUS_SESSION_BUS_ADDRESS"] = bus;
  RunOk(options);
  const pid_t client = ClientPid(home.path);
  ASSERT_TRUE(IsClientAlive(client));
  RunOk(options);
  EXPECT_EQ(std::vector<std::string>{}, Notifications());

  ASSERT_EQ(0, qvtest::Shell("head -c 52m /dev/zero >" + Q(home.path + "/ballast")));
  SetBuild(root_, std::stoi(BuildOf(root_ + "/INFO")) + 1);
  RunOk(options);
  EXPECT_EQ(std::vector<std::string>{Told("Quenvale Drive could not be updated; the previous version runs on",
                                          NoSpaceBody(home), 1)},
            Notifications());
  EXPECT_EQ(client, ClientPid(home.path));
  EXPECT_TRUE(IsClientAlive(client));
}

// The desktop never holds the launcher up for long: without a bus, a service or the
// module that sends it ends as fast, with one NOTE; a service that never answers costs
// 2 s at most.
TEST_F(UserFolderE2e, ANotificationServiceThatNeverAnswersDelaysTheLauncherTwoSecondsAtMost) {
  const Home& home = AddHome("silent");
  if (!MountHome(home, 0, "8m")) GTEST_SKIP() << "a tmpfs in a private mount namespace was refused";
  using Clock = std::chrono::steady_clock;
  auto timed = [&](const std::optional<std::string>& bus, const std::string& note) {
    LaunchOptions options = SpecFor(root_, home);
    options.env["DBUS_SESSION_BUS_ADDRESS"] = bus;
    const Clock::time_point start = Clock::now();
    const LaunchResult r = RunOk(options);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    int notes = 0;
    for (const LogLine& l : LinesOf(ReadLog(home.path), r.pid)) {
      if (l.tag == "NOTE" && l.message.rfind("no desktop notification shown (", 0) == 0) {
        ++notes;
        EXPECT_NE(std::string::npos, l.message.find(note)) << l.message;
      }
    }
    EXPECT_EQ(1, notes) << note;
    return seconds;
  };
  const double no_bus = timed(std::nullopt, "no session bus");
  const double no_service = timed(StartNotifyBus(qvtest::MakeTempDir("bus") + "/socket", "none"),
                                  "org.freedesktop.DBus.Error.ServiceUnknown");
  // Margins for a loaded machine, which slows both runs alike; a wait for the bus's own
  // default (25 s) still fails.
  EXPECT_LT(no_service, no_bus * 1.5 + 2.0);
  const double silent = timed(StartNotifyBus(qvtest::MakeTempDir("bus") + "/socket", "silent"),
                              "org.freedesktop.DBus.Error.NoReply");
  EXPECT_EQ(1u, Notifications().size()) << "the service got the call";
  // Qt's reply timer is a coarse one, which may fire up to 5 % early.
  EXPECT_GE(silent, 1.9);
  EXPECT_LT(silent, no_bus * 1.5 + 4.0);
  // D-Bus is loaded with the module that sends: without it, a NOTE says why.
  ASSERT_EQ(0, ::unlink((root_ + "/lib/libquenvale-notify.so").c_str()));
  timed(StartNotifyBus(qvtest::MakeTempDir("bus") + "/socket", "none"),
        "cannot load the notification module: " + root_ + "/bin/../lib/libquenvale-notify.so: cannot open shared object file");
}

// Another user of the machine can read nothing of it, under the usual umask.
TEST_F(UserFolderE2e, ThePerUserFolderIsPrivateToItsUser) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to run as two other users";
  const Home& home = AddHome("private", true);
  // Folders the copy must keep as they are, a read-only one holding a file among them.
  const std::string package = root_ + "/package/skylodge";
  ASSERT_EQ(0, qvtest::Shell("cd " + Q(package) + " && mkdir -m 775 share && mkdir -m 555 share/fixed && " +
                             "chmod u+w share/fixed && echo data >share/fixed/data && chmod 555 share/fixed"));
  RunOk(SpecFor(root_, home));
  EXPECT_EQ(ModesOf(package), ModesOf(AppFolder(home.path)));
  const std::string drive = UserFolder(home.path);
  const std::string log = drive + "/log/launcher.log";
  EXPECT_EQ(0700u, ModeOf(drive));
  EXPECT_EQ(0700u, ModeOf(drive + "/log"));
  EXPECT_EQ(0600u, ModeOf(log));
  // The copy keeps the package's modes.
  EXPECT_EQ(FilesOf(root_ + "/package/skylodge"), FilesOf(AppFolder(home.path)));
  const std::string other = "setpriv --reuid=65533 --regid=65533 --clear-groups ";
  EXPECT_NE(0, qvtest::Shell(other + "cat " + Q(log) + " >/dev/null 2>&1"));
  EXPECT_NE(0, qvtest::Shell(other + "ls " + Q(drive) + " >/dev/null 2>&1"));
  EXPECT_EQ(0, qvtest::Shell("setpriv --reuid=65534 --regid=65534 --clear-groups cat " + Q(log) + " >/dev/null"));

  // A folder left open by an earlier version is closed, not what it holds.
  ASSERT_EQ(0, ::chmod(drive.c_str(), 0755));
  const unsigned app_mode = ModeOf(AppFolder(home.path));
  const LaunchResult again = RunOk(SpecFor(root_, home));
  EXPECT_EQ(0700u, ModeOf(drive));
  EXPECT_EQ(app_mode, ModeOf(AppFolder(home.path)));
  EXPECT_TRUE(InOrder(LinesOf(ReadLog(home.path), again.pid),
                      {{"NOTE", "'" + drive + "' was open to other users (mode 0755), made private (mode 0700)"}}));

  // The old copy, read-only folder and all, is removed by its user after an upgrade.
  SetBuild(root_, std::stoi(BuildOf(root_ + "/INFO")) + 1);
  RunOk(SpecFor(root_, home));
  EXPECT_EQ(ModesOf(package), ModesOf(AppFolder(home.path)));
  EXPECT_EQ("", Backups(home.path));
  EXPECT_EQ(std::vector<std::string>{}, Tagged(ReadLog(home.path), "ERROR"));
}

// A relative XDG_DATA_HOME would follow the working folder: it is ignored.
TEST_F(UserFolderE2e, ARelativeDataHomeOnDeepinIsIgnored) {
  const Home& home = AddHome("deepin");
  std::vector<pid_t> clients;
  for (const char* value : {"rel", "rel", ""}) {
    const std::string cwd = qvtest::MakeTempDir("cwd");
    LaunchOptions options = SpecFor(root_, home);
    options.env["XDG_CURRENT_DESKTOP"] = std::string("Deepin");
    options.env["XDG_DATA_HOME"] = std::string(value);
    options.cwd = cwd;
    const LaunchResult r = RunOk(options);
    EXPECT_EQ("", qvtest::ShellOutput("ls -A " + Q(cwd)));
    EXPECT_TRUE(InOrder(LinesOf(ReadLog(home.path), r.pid),
                        {{"WARNING", "XDG_DATA_HOME '" + std::string(value) +
                                         "' is not an absolute path and is ignored, using the home folder"}}));
    clients.push_back(ClientPid(home.path));
  }
  EXPECT_TRUE(IsClientAlive(clients[0]));
  EXPECT_EQ(clients[0], clients[1]);
  EXPECT_EQ(clients[0], clients[2]);
  EXPECT_EQ(1, ClientsOf(AppFolder(home.path)));
}

// A launcher started with no environment at all (env -i): the home comes from the
// passwd entry, or, when there is none, nothing is done.
TEST_F(UserFolderE2e, WithoutHomeThePasswdEntryDecides) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root for a private passwd file";
  const unsigned uid = 64123;
  ASSERT_EQ("", qvtest::ShellOutput("getent passwd " + std::to_string(uid)));
  const Home& home = AddHome("passwd");
  ASSERT_EQ(0, qvtest::Shell("chown -R " + std::to_string(uid) + ":" + std::to_string(uid) + " " + Q(home.path)));
  const std::string passwd = qvtest::MakeTempDir("etc") + "/passwd";
  ASSERT_EQ(0, qvtest::Shell("cp /etc/passwd " + Q(passwd) + " && echo 'qvuser:x:" + std::to_string(uid) + ":" +
                             std::to_string(uid) + "::" + home.path + ":/bin/sh' >> " + Q(passwd)));
  auto options = [&](const std::string& passwd_file, const std::string& tmp) {
    ::chmod(tmp.c_str(), 01777);
    LaunchOptions o;
    o.root = root_;
    const std::string run = "exec setpriv --reuid=" + std::to_string(uid) + " --regid=" + std::to_string(uid) +
                            " --clear-groups env -i TMPDIR=" + tmp +
                            " ASAN_OPTIONS=\"$ASAN_OPTIONS\" LSAN_OPTIONS=\"$LSAN_OPTIONS\" UBSAN_OPTIONS=\"$UBSAN_OPTIONS\" \"$1\"";
    o.wrapper = {"unshare", "-m", "--propagation", "private", "sh", "-c",
                 (passwd_file.empty() ? "" : "mount --bind " + Q(passwd_file) + " /etc/passwd && ") + run, "launch"};
    return o;
  };
  RunOk(options(passwd, qvtest::MakeTempDir("tmp")));
  EXPECT_EQ(FilesOf(root_ + "/package/skylodge"), FilesOf(AppFolder(home.path)));
  EXPECT_TRUE(IsClientAlive(ClientPid(home.path)));
  EXPECT_EQ(0700u, ModeOf(UserFolder(home.path)));

  // The same user unknown to the passwd file: an ERROR on standard error, and nothing.
  const std::string tmp = qvtest::MakeTempDir("tmp");
  const LaunchResult none = RunOk(options("", tmp));
  EXPECT_NE(std::string::npos, none.err.find("[ERROR] main.cpp(")) << none.err;
  EXPECT_NE(std::string::npos,
            none.err.find("HOME is not set and user " + std::to_string(uid) + " has no home folder, nothing to do"))
      << none.err;
  EXPECT_EQ("", qvtest::ShellOutput("ls -A " + Q(tmp)));
}

// Two launchers on one home that the single-instance check cannot see as one (other
// runtime folders, other host names): the second waits for the first's upgrade, then
// finds nothing to do. No ERROR, one whole copy, one client.
TEST_F(UserFolderE2e, TwoLaunchersOnOneHomeUpgradeItOnce) {
  if (qvtest::Shell("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
  Unpack(2001, 300, "direct");
  for (const bool hosts : {false, true}) {
    SCOPED_TRACE(hosts ? "two host names" : "two runtime folders");
    if (hosts && qvtest::Shell("unshare -u true 2>/dev/null") != 0) {
      std::cout << "[  SKIPPED ] no UTS namespace for a second host name\n";
      continue;
    }
    const Home& home = AddHome("shared");
    LaunchOptions first = Slowed(home, 5000, hosts ? "qv-host-a" : "");
    LaunchOptions second = Slowed(home, 5000, hosts ? "qv-host-b" : "");
    for (LaunchOptions* options : {&first, &second}) {
      const std::string run = qvtest::MakeTempDir("run");
      ::chmod(run.c_str(), 0700);
      options->env["XDG_RUNTIME_DIR"] = run;
    }

    // The first is held in the middle of its copy while the second starts.
    const pid_t a = StartLauncher(first);
    ASSERT_TRUE(Await([&] { return StagedFiles(home.path) >= 1; }));
    ASSERT_EQ(0, ::kill(a, SIGSTOP));  // the tracer: the copying threads stop at their next copy
    const pid_t b = StartLauncher(second);
    const bool waited = Await([&] { return Find(ReadLog(home.path), "another launcher is upgrading") != nullptr; });
    ::kill(a, SIGCONT);
    EXPECT_TRUE(waited);
    const LaunchResult ra = WaitLauncher(a);
    const LaunchResult rb = WaitLauncher(b);
    EXPECT_EQ(0, ra.exit_code) << ra.err;
    EXPECT_EQ(0, rb.exit_code) << rb.err;

    const std::vector<LogLine> log = ReadLog(home.path);
    EXPECT_EQ(std::vector<std::string>{}, Tagged(log, "ERROR"));
    const LogLine* wait = Find(log, "another launcher is upgrading");
    ASSERT_NE(nullptr, wait);
    EXPECT_TRUE(InOrder(LinesOf(log, wait->pid), {{"DEBUG", "no need to upgrade"}, {"DEBUG", "done"}}));
    const std::string app = AppFolder(home.path);
    EXPECT_EQ(FilesOf(root_ + "/package/skylodge"), FilesOf(app));
    EXPECT_EQ("", Backups(home.path));
    EXPECT_FALSE(::access((UserFolder(home.path) + "/upgrade.lock").c_str(), F_OK) == 0);
    EXPECT_EQ(1, ClientsOf(app));
    StopAllClients({home.path});
  }
}


// ---- Another local user, and links in the home -----------------------------------

// A second local user of the machine, with no passwd entry.
const unsigned kOtherUid = 64300;
std::string AsOther(const std::string& command) {
  return "setpriv --reuid=" + std::to_string(kOtherUid) + " --regid=" + std::to_string(kOtherUid) +
         " --clear-groups sh -c " + Q(command);
}

// Every entry below dir with kind, mode, size and link target, and every file's content.
std::string TreeOf(const std::string& dir) {
  return qvtest::ShellOutput("cd " + Q(dir) + " && find . -printf '%P %y %m %s %l\\n' | sort" +
                             " && find . -type f -exec md5sum {} + | sort");
}

// Without a usable runtime folder (none at all, as in an ssh or su session, or one that
// does not exist) the single-instance lock must not go where another user can be first:
// that user made every name the launcher might take in the shared temporary folder, a
// lock naming a live process of theirs and an empty one among them. The user's client
// still starts, and nothing of the user's is made in that folder.
TEST_F(UserFolderE2e, AnotherUserCannotKeepTheClientFromStarting) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to run as two other users";
  const std::string tmp = qvtest::MakeTempDir("shared-tmp");
  ASSERT_EQ(0, ::chmod(tmp.c_str(), 01777));
  const std::string other_pid = qvtest::ShellOutput(AsOther("sleep 300 >/dev/null 2>&1 & echo $!"));
  ASSERT_FALSE(other_pid.empty());
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  const std::string uid = std::to_string(qvtest::UnprivilegedUid());
  std::string plant = "cd " + Q(tmp) + " && mkdir -m 700 runtime-nobody runtime- && : >launcher.single.lock";
  for (const std::string& name : {"launcher-" + uid, std::string("launcher"), "application-" + uid}) {
    plant += " && printf '%s\\nlauncher\\n%s\\n' " + other_pid.substr(0, other_pid.size() - 1) + " " + Q(host) +
             " >" + name + ".single.lock";
  }
  ASSERT_EQ(0, qvtest::Shell(AsOther(plant)));
  const std::string planted = TreeOf(tmp);

  for (const std::optional<std::string>& runtime : {std::optional<std::string>(), std::optional<std::string>("/nonexistent-run")}) {
    SCOPED_TRACE(runtime ? *runtime : "no XDG_RUNTIME_DIR");
    const Home& home = AddHome("locked-out", true);
    LaunchOptions options = SpecFor(root_, home);
    options.env["XDG_RUNTIME_DIR"] = runtime;
    options.env["TMPDIR"] = tmp;
    const LaunchResult r = RunOk(options);
    EXPECT_TRUE(IsClientAlive(ClientPid(home.path)));
    EXPECT_EQ(FilesOf(root_ + "/package/skylodge"), FilesOf(AppFolder(home.path)));
    EXPECT_FALSE(HasMessage(LinesOf(ReadLog(home.path), r.pid), "app has already launched, return"));
    EXPECT_EQ(planted, TreeOf(tmp));
  }
  qvtest::Shell("kill " + other_pid);
}

// Folders left beside the app folder by earlier runs hold links, under the names of the
// package's files, to the user's own files. The copy makes every entry itself, so it
// never writes through them, on a first install or an upgrade, also when a leftover
// cannot be emptied: its folders made read-only, or the folder not the user's at all,
// which then stays, while the copy is made under a name of the run's own.
class LeftoverLinksE2e : public UserFolderE2e {
 protected:
  enum Kind { kPlain, kReadOnly, kForeign };

  void CheckEveryName(bool upgrade) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root to make a folder its user cannot write to";
    std::vector<std::pair<std::string, Kind>> names = {{"_staging", kPlain}, {"_ready", kPlain}, {"_discard", kPlain},
                                                       {"_tmp", kPlain}, {"_staging", kReadOnly}, {"_staging", kForeign}};
    for (int i = 1; i <= 9; ++i) names.push_back({"_tmp" + std::to_string(i), kPlain});
    for (const auto& [name, kind] : names) {
      SCOPED_TRACE(name + " " + std::to_string(kind) + (upgrade ? " before an upgrade" : " before a first install"));
      const Home& home = AddHome("leftover", true);
      const std::string app = AppFolder(home.path);
      const std::string canary = home.path + "/canary";
      const std::string owner = std::to_string(qvtest::UnprivilegedUid());
      ASSERT_EQ(0, qvtest::Shell("mkdir " + Q(canary) + " && cd " + Q(canary) +
                                 " && echo '[Version]' >INFO && echo build_version=1 >>INFO && echo mine >cloud-drive-ui" +
                                 " && echo mine too >start-stop && chown -R " + owner + ":" + owner + " ."));
      const int build = std::stoi(BuildOf(root_ + "/INFO"));
      if (upgrade) {
        RunOk(SpecFor(root_, home));
        SetBuild(root_, build + 1);
      }
      const pid_t old_client = ClientPid(home.path);
      const std::string dir = app + name;
      std::string plant = "mkdir -p " + Q(dir + "/bin") + " " + Q(dir + "/package") + " && cd " + Q(dir) +
                          " && ln -s " + Q(canary + "/INFO") + " INFO && ln -s " + Q(canary + "/cloud-drive-ui") +
                          " bin/cloud-drive-ui && ln -s " + Q(canary + "/start-stop") + " package/start-stop" +
                          " && chown -R -h " + owner + ":" + owner + " " + Q(UserFolder(home.path));
      if (kind == kReadOnly) plant += " && chmod 555 bin package .";
      if (kind == kForeign) plant += " && chown -R -h root:root .";
      ASSERT_EQ(0, qvtest::Shell(plant));
      const std::string before = TreeOf(canary);

      RunOk(SpecFor(root_, home));
      EXPECT_EQ(before, TreeOf(canary));
      const std::vector<std::string> errors = Tagged(ReadLog(home.path), "ERROR");
      if (kind == kForeign) {
        // It stays where it is, and the copy goes under a name of the run's own.
        EXPECT_TRUE(::access((dir + "/bin").c_str(), F_OK) == 0);
        EXPECT_EQ(FilesOf(root_ + "/package/skylodge"), FilesOf(app));
        EXPECT_TRUE(IsClientAlive(ClientPid(home.path)));
        EXPECT_FALSE(upgrade && IsClientAlive(old_client));
      } else {
        EXPECT_EQ(FilesOf(root_ + "/package/skylodge"), FilesOf(app));
        EXPECT_TRUE(IsClientAlive(ClientPid(home.path)));
        // A backup name that is taken is passed over without an ERROR.
        EXPECT_EQ(std::vector<std::string>{}, errors);
      }
      StopAllClients({home.path});
      if (upgrade) SetBuild(root_, build);
      qvtest::Shell("chmod -R u+w " + Q(home.path) + "; rm -rf " + Q(home.path));
    }
  }
};

TEST_F(LeftoverLinksE2e, AFirstInstallWritesThroughNoLink) { CheckEveryName(false); }
TEST_F(LeftoverLinksE2e, AnUpgradeWritesThroughNoLink) { CheckEveryName(true); }

// ~/.QuenvaleDrive moved to another disk (or elsewhere on this one) with a link left in
// its place: the first install, an upgrade with the client running, the recovery of an
// interrupted upgrade and the upgrade lock all work through it, and it stays a link.
TEST_F(UserFolderE2e, APerUserFolderThatIsALinkWorks) {
  const std::string disk = qvtest::MakeTempDir("disk");
  const bool other_disk = ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                          ::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64m,mode=0755") == 0;
  for (const std::string& target : {qvtest::MakeTempDir("moved") + "/QD", disk + "/QD"}) {
    SCOPED_TRACE(target);
    if (target.rfind(disk, 0) == 0 && !other_disk) {
      std::cout << "[  SKIPPED ] a tmpfs in a private mount namespace was refused\n";
      continue;
    }
    const Home& home = AddHome("linked");
    const std::string drive = UserFolder(home.path);
    const std::string app = AppFolder(home.path);
    ASSERT_EQ(0, qvtest::Shell("mkdir -m 700 " + Q(target) + " && ln -s " + Q(target) + " " + Q(drive)));
    RunOk(SpecFor(root_, home));
    EXPECT_EQ(FilesOf(root_ + "/package/skylodge"), FilesOf(app));
    const pid_t first = ClientPid(home.path);
    EXPECT_TRUE(IsClientAlive(first));

    const int build = std::stoi(BuildOf(root_ + "/INFO"));
    SetBuild(root_, build + 1);
    RunOk(SpecFor(root_, home));
    const pid_t second = ClientPid(home.path);
    EXPECT_EQ(std::to_string(build + 1), BuildOf(app + "/INFO"));
    EXPECT_NE(first, second);
    EXPECT_FALSE(IsClientAlive(first));
    EXPECT_TRUE(IsClientAlive(second));
    EXPECT_EQ("", Backups(home.path));

    // What a crash between the two renames of the swap leaves: the old copy set aside,
    // the new one under the ready name.
    StopAllClients({home.path});
    SetBuild(root_, build + 2);
    ASSERT_EQ(0, qvtest::Shell("cp -a " + Q(root_ + "/package/skylodge") + " " + Q(app + "_ready") + " && mv " + Q(app) +
                               " " + Q(app + "_tmp")));
    RunOk(SpecFor(root_, home));
    EXPECT_EQ(std::to_string(build + 2), BuildOf(app + "/INFO"));
    EXPECT_EQ("", Backups(home.path));
    EXPECT_TRUE(IsClientAlive(ClientPid(home.path)));
    EXPECT_FALSE(::access((drive + "/upgrade.lock").c_str(), F_OK) == 0);
    EXPECT_EQ(std::vector<std::string>{}, Tagged(ReadLog(home.path), "ERROR"));
    struct stat st;
    ASSERT_EQ(0, ::lstat(drive.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    StopAllClients({home.path});
    SetBuild(root_, build);
  }
}

// A home on a large XFS (inode64; 5 TiB in 1 KiB blocks, so more than 2^32 of them),
// where the per-user folder, the install and its package folder get inode numbers past
// 2^32, and a package with a sparse file past 4 GiB and entries dated after 2038: a
// first install and an upgrade with the client running copy it whole, with the log, the
// lock and the room check working there. The XFS shares blocks, so the big file is
// cloned, not written.
TEST_F(UserFolderE2e, AHomeWithInodesPast32BitsAndAHugeLateDatedPackageInstallAndUpgrade) {
  const Home& home = AddHome("xfs");
  const std::string image = qvtest::MakeTempDir("xfs-image") + "/disk.img";
  ASSERT_EQ(0, qvtest::Shell("truncate -s 5T " + Q(image) + " && mkfs.xfs -q -K -b size=1024 -l size=64m " + Q(image)));
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      qvtest::Shell("mount -o loop,inode64 " + Q(image) + " " + Q(home.path) + " 2>/dev/null") != 0) {
    GTEST_SKIP() << "this kernel or sandbox refused a private mount namespace or a loop-mounted XFS";
  }
  // Each new top-level folder goes to the next allocation group: those past 2 TiB have
  // inode numbers past 2^32.
  auto high_folder = [&](const std::string& name) {
    for (int i = 0; i < 8; ++i) {
      const std::string dir = home.path + "/try" + std::to_string(i);
      if (::mkdir(dir.c_str(), 0700) == 0 && std::stoull("0" + qvtest::ShellOutput("stat -c %i " + Q(dir))) > 0xFFFFFFFFull) {
        return ::rename(dir.c_str(), (home.path + "/" + name).c_str()) == 0;
      }
    }
    return false;
  };
  ASSERT_TRUE(high_folder(".QuenvaleDrive") && high_folder("opt"));
  const std::string root = home.path + "/opt";
  const std::string package = root + "/package/skylodge";
  ASSERT_EQ(0, qvtest::Shell("cd " + Q(home.path) + " && mkdir -p .local/share .config .cache .run && chmod 700 .run && cp -a " +
                             Q(root_) + "/. opt/ && cd " + Q(package) + " && truncate -s 5G big && printf end >>big && " +
                             "mkdir late && echo late >late/file && touch -h -d @4102444800 late late/file big bin"));
  const std::string big_inodes =
      qvtest::ShellOutput("find " + Q(root) + " " + Q(UserFolder(home.path)) + " -inum +4294967295 | wc -l");
  EXPECT_GT(std::atoi(big_inodes.c_str()), 2) << "entries with inode numbers past 2^32";
  // Files by size and mode, and the contents of those small enough to read.
  auto listing = [](const std::string& dir) {
    return qvtest::ShellOutput("cd " + Q(dir) + " && find . -type d -printf '%p %m\\n' -o -printf '%p %y %m %s\\n' | "
                               "sort && find . -type f -size -1000k -exec md5sum {} + | sort && tail -c 3 big");
  };
  const std::string app = AppFolder(home.path);
  const int build = std::stoi(BuildOf(root + "/INFO"));
  for (int next : {build, build + 1}) {
    SetBuild(root, next);
    RunOk(SpecFor(root, home));
    EXPECT_EQ(listing(package), listing(app));
    EXPECT_EQ(std::to_string(next), BuildOf(app + "/INFO"));
    EXPECT_TRUE(IsClientAlive(ClientPid(home.path)));
  }
  EXPECT_EQ("", Backups(home.path));
  EXPECT_EQ(std::vector<std::string>{}, Tagged(ReadLog(home.path), "ERROR"));
  StopAllClients({home.path});
}

// The app folder moved away with a link left in its place (into a folder of the user's,
// under its own name or another): the client it runs knows the pid file by the path it
// was started by, so the launcher finds it and stops it before the swap; the folder
// behind the link keeps what else it holds.
TEST_F(UserFolderE2e, AnAppFolderThatIsALinkStillHasItsClientStopped) {
  for (const std::string& moved_to : {std::string("Drive/QuenvaleDrive.app"), std::string("Drive")}) {
    SCOPED_TRACE(moved_to);
    const Home& home = AddHome("linked-app");
    const std::string app = AppFolder(home.path);
    const std::string drive = home.path + "/Drive";
    const std::string target = home.path + "/" + moved_to;
    RunOk(SpecFor(root_, home));
    StopAllClients({home.path});
    ASSERT_EQ(0, qvtest::Shell("mkdir -p \"$(dirname " + Q(target) + ")\" && mv " + Q(app) + " " + Q(target) +
                               " && ln -s " + Q(target) + " " + Q(app) + " && echo notes >" + Q(drive + "/notes.txt")));
    RunOk(SpecFor(root_, home));
    const pid_t old_client = ClientPid(home.path);
    ASSERT_TRUE(IsClientAlive(old_client)) << "no pid file where the launcher reads it";
    const std::string behind = TreeOf(drive);

    const int build = std::stoi(BuildOf(root_ + "/INFO"));
    SetBuild(root_, build + 1);
    RunOk(SpecFor(root_, home));
    EXPECT_FALSE(IsClientAlive(old_client));
    EXPECT_TRUE(IsClientAlive(ClientPid(home.path)));
    EXPECT_EQ(1, ClientsOf(app));
    EXPECT_EQ(0, ClientsOf(target));
    EXPECT_EQ(std::to_string(build + 1), BuildOf(app + "/INFO"));
    EXPECT_EQ(behind, TreeOf(drive));
    StopAllClients({home.path});
    SetBuild(root_, build);
  }
}

// A link put at the pid file's name is replaced by the client's pid file, not written
// through; a pipe there neither hangs the launcher nor keeps the upgrade from happening.
TEST_F(UserFolderE2e, ThePidFileIsNeitherWrittenThroughNorWaitedOn) {
  const Home& home = AddHome("pid-file");
  const std::string pid_file = UserFolder(home.path) + "/ui.pid";
  const std::string important = home.path + "/important.txt";
  ASSERT_TRUE(qvtest::WriteFile(important, "keep me\n"));
  ASSERT_EQ(0, qvtest::Shell("mkdir -p " + Q(UserFolder(home.path)) + " && ln -s " + Q(important) + " " + Q(pid_file)));
  RunOk(SpecFor(root_, home));
  EXPECT_EQ("keep me\n", qvtest::ReadFile(important));
  EXPECT_TRUE(IsClientAlive(ClientPid(home.path)));
  struct stat st;
  ASSERT_EQ(0, ::lstat(pid_file.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));

  StopAllClients({home.path});
  ASSERT_EQ(0, qvtest::Shell("rm -f " + Q(pid_file) + " && mkfifo " + Q(pid_file)));
  const int build = std::stoi(BuildOf(root_ + "/INFO"));
  SetBuild(root_, build + 1);
  const LaunchResult r = RunLauncher(SpecFor(root_, home), 30000);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(std::to_string(build + 1), BuildOf(AppFolder(home.path) + "/INFO"));
  EXPECT_TRUE(IsClientAlive(ClientPid(home.path)));
  SetBuild(root_, build);
}

}  // namespace
}  // namespace e2e
