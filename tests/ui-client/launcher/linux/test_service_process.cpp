// Stopping the running client through its pid file and starting the per-user client
// through its start script, with real processes and signals.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "service_fixture.h"
#include "build_paths.h"

extern char** environ;

namespace {

using svctest::ServiceTest;
using svctest::TestService;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A stand-in client started from the given executable. A thread reaps it at once, so
// that an ended client is gone (not a zombie) when the service probes it.
class Client {
 public:
  Client(const std::string& exe, const char* mode) {
    ready_ = qvtest::MakeTempDir("client") + "/ready";
    std::string mode_arg = mode;
    char* argv[] = {const_cast<char*>(exe.c_str()), const_cast<char*>(mode_arg.c_str()),
                    const_cast<char*>(ready_.c_str()), nullptr};
    if (::posix_spawn(&pid_, exe.c_str(), nullptr, nullptr, argv, environ) != 0) pid_ = -1;
    if (pid_ > 0) {
      reaper_ = std::thread([this] {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        status_ = status;
        ended_ = true;
      });
    }
    for (int i = 0; i < 1000 && pid_ > 0 && !ended_ && ::access(ready_.c_str(), F_OK) != 0; ++i) {
      ::usleep(10 * 1000);
    }
  }
  ~Client() {
    if (pid_ > 0 && !ended_) ::kill(pid_, SIGKILL);
    if (reaper_.joinable()) reaper_.join();
  }

  bool Ready() const { return pid_ > 0 && !ended_ && ::access(ready_.c_str(), F_OK) == 0; }
  pid_t pid() const { return pid_; }
  // Waits up to `seconds` for the end; returns the signal that ended it, or 0.
  int EndSignal(double seconds) {
    Clock::time_point start = Clock::now();
    while (!ended_ && SecondsSince(start) < seconds) ::usleep(10 * 1000);
    if (!ended_) return 0;
    return WIFSIGNALED(status_.load()) ? WTERMSIG(status_.load()) : -1;
  }
  bool Alive() const { return !ended_; }

 private:
  pid_t pid_ = -1;
  std::string ready_;
  std::thread reaper_;
  std::atomic<bool> ended_{false};
  std::atomic<int> status_{0};
};

class StopTest : public ServiceTest {
 protected:
  std::string pid_file() const { return drive_ + "/ui.pid"; }

  // The installed client executable is a copy of the stand-in client.
  std::string InstallClientBinary() {
    MakeInstalledCopy(app_, "20");
    const std::string exe = app_ + "/bin/cloud-drive-ui";
    EXPECT_EQ(0, qvtest::Shell("cp '" + QV_FAKE_CLIENT + "' '" + exe + "'"));
    return exe;
  }

  void WritePidFile(const std::string& text, time_t age_seconds = 0) {
    MakeFile(pid_file(), text);
    if (age_seconds > 0) {
      struct timeval times[2];
      ::gettimeofday(&times[0], nullptr);
      times[0].tv_sec -= age_seconds;
      times[1] = times[0];
      ASSERT_EQ(0, ::utimes(pid_file().c_str(), times));
    }
  }

  double TimedStop() {
    TestService service;
    Clock::time_point start = Clock::now();
    service.StopService();
    return SecondsSince(start);
  }
};

TEST_F(StopTest, ClientThatExitsOnTermIsStoppedAtOnce) {
  Client client(InstallClientBinary(), "exit-on-term");
  ASSERT_TRUE(client.Ready());
  WritePidFile("pid=" + std::to_string(client.pid()) + "\n");
  // Its end is noticed when it happens, not at the next one-second probe: the user is
  // without a client from the SIGTERM until the new one starts.
  EXPECT_LT(TimedStop(), 0.9);
  EXPECT_EQ(SIGTERM, client.EndSignal(2));
  EXPECT_EQ(std::vector<std::string>{}, Log());
}

TEST_F(StopTest, ClientThatIgnoresTermIsKilledAfterFiveProbes) {
  Client client(InstallClientBinary(), "ignore-term");
  ASSERT_TRUE(client.Ready());
  WritePidFile("pid = " + std::to_string(client.pid()) + "  # written by the client\n");
  double took = TimedStop();
  EXPECT_GE(took, 4.5);
  EXPECT_LT(took, 7.5);
  EXPECT_EQ(SIGKILL, client.EndSignal(2));
}

TEST_F(StopTest, PidThatNoLongerExistsEndsWithoutWaiting) {
  pid_t pid = 0;
  char* argv[] = {const_cast<char*>("true"), nullptr};
  ASSERT_EQ(0, ::posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ));
  int status = 0;
  ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
  InstallClientBinary();
  WritePidFile("pid=" + std::to_string(pid) + "\n");
  EXPECT_LT(TimedStop(), 0.5);
  EXPECT_EQ(std::vector<std::string>{}, Log());
}

TEST_F(StopTest, UnusablePidFilesSignalNothing) {
  Client client(InstallClientBinary(), "exit-on-term");
  ASSERT_TRUE(client.Ready());
  const std::string pid = std::to_string(client.pid());
  struct Case {
    std::string text;
    bool note;  // whether the unreadable-file NOTE is expected
  };
  const Case cases[] = {
      {"pid " + pid + "\n", true},             // no "="
      {"pid=" + pid + "\nbroken line\n", true},  // one bad line spoils the file
      {"", false},
      {"other=" + pid + "\n", false},
      {"pid=''\n", false},
      {"pid=\"\"\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    NewLog();
    WritePidFile(c.text);
    EXPECT_LT(TimedStop(), 0.5);
    std::vector<std::string> expected;
    if (c.note) {
      expected.push_back("NOTE linux/linux-service.cpp: Failed to read pid file '" + pid_file() +
                         "', not exist ?");
    }
    EXPECT_EQ(expected, Log());
  }
  ::usleep(100 * 1000);
  EXPECT_TRUE(client.Alive());
}

// A pid file may name any process: one whose number was reused after the client died,
// or one put there on purpose. Only a process whose executable lies in the app folder
// is the client, whatever the file's age.
TEST_F(StopTest, OnlyAProcessRunFromTheAppFolderIsSignalled) {
  InstallClientBinary();
  for (const time_t age : {time_t{3600}, time_t{0}}) {
    SCOPED_TRACE(age);
    // Run from elsewhere (an unrelated process of the user, or the client run through an
    // interpreter): left alone, with a NOTE and no wait.
    Client other(QV_FAKE_CLIENT, "exit-on-term");
    ASSERT_TRUE(other.Ready());
    WritePidFile("pid=" + std::to_string(other.pid()) + "\n", age);
    NewLog();
    EXPECT_LT(TimedStop(), 0.5);
    ::usleep(100 * 1000);
    EXPECT_TRUE(other.Alive());
    EXPECT_EQ(std::vector<std::string>{"NOTE linux/linux-service.cpp: process " + std::to_string(other.pid()) +
                                       " named in '" + pid_file() + "' is not the client, not signalled"},
              Log());
  }
  {
    Client client(app_ + "/bin/cloud-drive-ui", "exit-on-term");
    ASSERT_TRUE(client.Ready());
    WritePidFile("pid=" + std::to_string(client.pid()) + "\n", 3600);
    TimedStop();
    EXPECT_EQ(SIGTERM, client.EndSignal(2));
  }
  {
    // An interpreter running a program from the app folder is the client; one running a
    // program from elsewhere is not, whatever files of the app folder it is given.
    const std::string body = "#!/bin/sh\n: >\"$2\"\nwhile :; do sleep 1; done\n";
    MakeFile(app_ + "/bin/client.sh", body);
    const std::string elsewhere = qvtest::MakeTempDir("elsewhere") + "/other.sh";
    MakeFile(elsewhere, body);
    ::chmod((app_ + "/bin/client.sh").c_str(), 0755);
    ::chmod(elsewhere.c_str(), 0755);
    Client other(elsewhere, (app_ + "/bin/client.sh").c_str());
    ASSERT_TRUE(other.Ready());
    WritePidFile("pid=" + std::to_string(other.pid()) + "\n");
    NewLog();
    TimedStop();
    EXPECT_TRUE(other.Alive());
    EXPECT_EQ(std::vector<std::string>{"NOTE linux/linux-service.cpp: process " + std::to_string(other.pid()) +
                                       " named in '" + pid_file() + "' is not the client, not signalled"},
              Log());
    Client client(app_ + "/bin/client.sh", "exit-on-term");
    ASSERT_TRUE(client.Ready());
    WritePidFile("pid=" + std::to_string(client.pid()) + "\n");
    TimedStop();
    EXPECT_EQ(SIGTERM, client.EndSignal(2));
  }
  {
    // Its executable deleted since it started (the copy replaced under it): still the client.
    Client client(app_ + "/bin/cloud-drive-ui", "exit-on-term");
    ASSERT_TRUE(client.Ready());
    ASSERT_EQ(0, ::unlink((app_ + "/bin/cloud-drive-ui").c_str()));
    WritePidFile("pid=" + std::to_string(client.pid()) + "\n");
    TimedStop();
    EXPECT_EQ(SIGTERM, client.EndSignal(2));
  }
}

// Something else than a small regular file at the pid file's name: read without
// blocking and without following a link, and counted as no pid.
TEST_F(StopTest, APidFileThatIsNoRegularFileIsNotRead) {
  Client client(InstallClientBinary(), "exit-on-term");
  ASSERT_TRUE(client.Ready());
  const std::string valid = qvtest::MakeTempDir("elsewhere") + "/ui.pid";
  ASSERT_TRUE(qvtest::WriteFile(valid, "pid=" + std::to_string(client.pid()) + "\n"));
  const std::string padded = "pid=" + std::to_string(client.pid()) + "\n" + std::string(5000, '#') + "\n";
  const std::string makers[] = {"mkfifo '" + pid_file() + "'", "ln -s '" + valid + "' '" + pid_file() + "'",
                                "mkdir '" + pid_file() + "'", "printf '%s' '" + padded + "' >'" + pid_file() + "'"};
  for (const std::string& make : makers) {
    SCOPED_TRACE(make);
    ASSERT_EQ(0, qvtest::Shell("rm -rf '" + pid_file() + "' && " + make));
    NewLog();
    EXPECT_LT(TimedStop(), 0.5);
    EXPECT_EQ(std::vector<std::string>{"NOTE linux/linux-service.cpp: pid file '" + pid_file() +
                                       "' is not a regular file of at most 4096 bytes, no client is stopped"},
              Log());
  }
  ::usleep(100 * 1000);
  EXPECT_TRUE(client.Alive());
}

// Another user's process, even one run from the app folder, is never the client: no
// signal, no wait, no ERROR.
TEST_F(StopTest, AProcessOfAnotherUserIsLeftAlone) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the client as another user";
  Client client(InstallClientBinary(), "exit-on-term");
  ASSERT_TRUE(client.Ready());
  WritePidFile("pid=" + std::to_string(client.pid()) + "\n");
  Clock::time_point start = Clock::now();
  EXPECT_EQ(0, qvtest::RunUnprivileged([] {
    TestService service;
    service.StopService();
    return 0;
  }));
  // Far below the 5 s that a stop waits for its client, far above a busy machine's fork.
  EXPECT_LT(SecondsSince(start), 2);
  ::usleep(100 * 1000);
  EXPECT_TRUE(client.Alive());
  EXPECT_EQ(std::vector<std::string>{"NOTE linux/linux-service.cpp: process " + std::to_string(client.pid()) +
                                     " named in '" + pid_file() + "' is not the client, not signalled"},
            Log());
}

bool CanUsePidNamespaces() {
  return qvtest::Shell("unshare --pid --fork --mount-proc setsid true >/dev/null 2>&1") == 0;
}

// 0, negative values and values that wrap to them as 32-bit numbers would signal a whole
// process group or every process the user may signal. They run in a throw-away PID
// namespace, where the helper reports any signal that reaches it or its witness child.
TEST(StopDangerousPid, GroupAndBroadcastValuesAreNotSignalled) {
  if (!CanUsePidNamespaces()) GTEST_SKIP() << "unshare --pid is not permitted here";
  const char* values[] = {"0", "-1", "-15", "4294967295", "4294967296", "-4294967295",
                          "99999999999999999999"};
  for (const char* value : values) {
    SCOPED_TRACE(value);
    const std::string work = qvtest::MakeTempDir("ns");
    ASSERT_EQ(0, qvtest::Shell("mkdir -p '" + work + "/.QuenvaleDrive'"));
    const std::string out = work + "/out";
    int rc = qvtest::Shell("unshare --pid --fork --mount-proc setsid '" + QV_NS_STOP_HELPER + "' '" +
                           std::string(value) + "' '" + work + "' >'" + out + "' 2>&1");
    EXPECT_EQ(0, rc) << qvtest::ReadFile(out);
    EXPECT_NE(std::string::npos,
              qvtest::ReadFile(out).find("[NOTE] linux/linux-service.cpp(")) << qvtest::ReadFile(out);
    EXPECT_NE(std::string::npos, qvtest::ReadFile(out).find(
                                     "holds no valid pid ('" + std::string(value) + "'), not signalled"));
  }
  // Pid 1, here the helper itself, is not the client: nothing is signalled, and no
  // ERROR comes of it.
  const std::string work = qvtest::MakeTempDir("ns");
  ASSERT_EQ(0, qvtest::Shell("mkdir -p '" + work + "/.QuenvaleDrive'"));
  const std::string out = work + "/out";
  EXPECT_EQ(0, qvtest::Shell("unshare --pid --fork --mount-proc setsid '" + QV_NS_STOP_HELPER + "' 1 '" + work +
                             "' >'" + out + "' 2>&1"))
      << qvtest::ReadFile(out);
  EXPECT_NE(std::string::npos, qvtest::ReadFile(out).find("process 1 named in '")) << qvtest::ReadFile(out);
  EXPECT_EQ(std::string::npos, qvtest::ReadFile(out).find("[ERROR]")) << qvtest::ReadFile(out);

  // The helper does notice a signal: run from the app folder, pid 1 is the client.
  const std::string app_bin = work + "/.QuenvaleDrive/QuenvaleDrive.app/bin";
  ASSERT_EQ(0, qvtest::Shell("mkdir -p '" + app_bin + "' && cp '" + QV_NS_STOP_HELPER + "' '" + app_bin + "/helper'"));
  EXPECT_NE(0, qvtest::Shell("unshare --pid --fork --mount-proc setsid '" + app_bin + "/helper' 1 '" + work +
                             "' >/dev/null 2>&1"));
}

TEST_F(StopTest, UpgradeStopsTheRunningClientThenInstalls) {
  Client client(InstallClientBinary(), "exit-on-term");
  ASSERT_TRUE(client.Ready());
  WritePidFile("pid=" + std::to_string(client.pid()) + "\n");
  MakeFile(package_ + "/bin/cloud-drive-ui", "new client\n");
  TestService service;
  EXPECT_EQ(0, service.HandlePackageUpgrade());
  EXPECT_EQ(SIGTERM, client.EndSignal(2));
  EXPECT_TRUE(SameTree(package_, app_));
  EXPECT_TRUE(HasLog("DEBUG linux/linux-service.cpp: local appdata exist"));
}

TEST_F(StopTest, UpgradeWithoutClientExecutableLeavesRunningProcessesAlone) {
  Client client(QV_FAKE_CLIENT, "exit-on-term");
  ASSERT_TRUE(client.Ready());
  WritePidFile("pid=" + std::to_string(client.pid()) + "\n");
  MakeFile(package_ + "/bin/cloud-drive-ui", "new client\n");
  TestService service;
  EXPECT_EQ(0, service.HandlePackageUpgrade());
  EXPECT_TRUE(client.Alive());
  EXPECT_FALSE(HasLog("DEBUG linux/linux-service.cpp: local appdata exist"));
  EXPECT_TRUE(SameTree(package_, app_));

  // Executable present, pid file gone: only the DEBUG line, nothing signalled.
  NewLog();
  ::unlink(pid_file().c_str());
  EXPECT_EQ(0, service.HandlePackageUpgrade());
  EXPECT_TRUE(client.Alive());
  EXPECT_TRUE(HasLog("DEBUG linux/linux-service.cpp: pid file '" + pid_file() +
                     "' does not exist, no need to terminate"));
}

// A package that cannot fit is found out before anything changes: the client keeps
// running, the copy stays as it was, and the log says how much room is missing.
TEST_F(StopTest, PackageTooBigForTheDiskChangesNothing) {
  Client client(QV_FAKE_CLIENT, "exit-on-term");
  ASSERT_TRUE(client.Ready());
  MakeFile(package_ + "/INFO", "[Version]\nbuild_version=30\n");
  MakeFile(package_ + "/bin/cloud-drive-ui", std::string(4 << 20, 'x'));
  const std::string find = "cd '" + drive_ + "' && find . -printf '%p %y %s %T@\\n' | sort";
  const int rc = qvtest::RunWithTmpfs(base_, "16m", [&] {
    MakeInstalledCopy(app_, "20");
    WritePidFile("pid=" + std::to_string(client.pid()) + "\n");
    const std::string before = qvtest::ShellOutput(find);
    TestService service;
    CHILD_CHECK(10, service.HandlePackageUpgrade() == -1);
    CHILD_CHECK(11, qvtest::ShellOutput(find) == before);
    return 0;
  });
  if (rc == qvtest::kMountRefused) GTEST_SKIP() << "mounting a tmpfs in a private mount namespace was refused";
  EXPECT_EQ(0, rc);
  EXPECT_TRUE(client.Alive());
  EXPECT_FALSE(HasLog("DEBUG linux/linux-service.cpp: local appdata exist"));

  unsigned long long needed = 0, free_bytes = 0;
  for (const std::string& line : Log()) {
    const std::string head = "ERROR package-upgrade.cpp: not enough free space in '" + drive_ + "' for the package: ";
    if (line.rfind(head, 0) == 0) {
      std::sscanf(line.c_str() + head.size(), "%llu bytes needed, %llu bytes free", &needed, &free_bytes);
    }
  }
  EXPECT_GE(needed, (4ull << 20) + (16ull << 20)) << "the package and the margin";
  EXPECT_GT(free_bytes, 0u);
  EXPECT_LE(free_bytes, 16ull << 20);
}

class StartTest : public ServiceTest {
 protected:
  void MakeScript(const std::string& body) {
    MakeFile(app_ + "/package/start-stop", "#!/bin/sh\n" + body);
    ::chmod((app_ + "/package/start-stop").c_str(), 0755);
  }
};

TEST_F(StartTest, ScriptIsRunWithStartAndWaitedFor) {
  MakeScript("sleep 1\necho \"$#:$*\" > \"$(dirname \"$0\")/args\"\nexit 3\n");
  TestService service;
  service.PostUpgrade();
  EXPECT_EQ("1:start\n", qvtest::ReadFile(app_ + "/package/args"));
  EXPECT_EQ(std::vector<std::string>{"ERROR linux/linux-service.cpp: the client of '" + app_ +
                                     "' did not start (the start script exited with status 3)"},
            Log());

  // A clean exit says nothing; a script killed by a signal says which.
  MakeScript("exit 0\n");
  NewLog();
  service.PostUpgrade();
  EXPECT_EQ(std::vector<std::string>{}, Log());
  MakeScript("kill -9 $$\n");
  service.PostUpgrade();
  EXPECT_EQ(std::vector<std::string>{"ERROR linux/linux-service.cpp: the client of '" + app_ +
                                     "' did not start (the start script was killed by signal 9)"},
            Log());
}

TEST_F(StartTest, ClientLeftRunningByTheScriptDoesNotHoldTheLauncher) {
  const std::string child_pid = app_ + "/package/child.pid";
  MakeScript("sleep 30 &\necho $! > \"$(dirname \"$0\")/child.pid\"\necho started\n"
             "echo oops >&2\n");
  TestService service;
  Clock::time_point start = Clock::now();
  service.PostUpgrade();
  EXPECT_LT(SecondsSince(start), 10);
  const std::string pid = qvtest::ReadFile(child_pid);
  ASSERT_FALSE(pid.empty());
  const std::string fds = "/proc/" + pid.substr(0, pid.size() - 1) + "/fd/";
  EXPECT_EQ("/dev/null\n", qvtest::ShellOutput("readlink " + fds + "0"));
  EXPECT_EQ("/dev/null\n", qvtest::ShellOutput("readlink " + fds + "1"));
  EXPECT_EQ("/dev/null\n", qvtest::ShellOutput("readlink " + fds + "2"));
  qvtest::Shell("kill " + pid);
}

TEST_F(StartTest, ScriptThatCannotRunIsReported) {
  TestService service;
  Clock::time_point start = Clock::now();
  service.PostUpgrade();
  EXPECT_LT(SecondsSince(start), 5);
  const std::string error = "ERROR linux/linux-service.cpp: the client of '" + app_ +
                            "' did not start (the start script could not run: ";
  ASSERT_EQ(1u, Log().size());
  EXPECT_EQ(0u, Log()[0].find(error)) << Log()[0];
  EXPECT_NE(std::string::npos, Log()[0].find("No such file or directory")) << Log()[0];

  // Not executable: the reason is the system's.
  MakeScript("exit 0\n");
  ::chmod((app_ + "/package/start-stop").c_str(), 0644);
  NewLog();
  service.PostUpgrade();
  ASSERT_EQ(1u, Log().size());
  EXPECT_EQ(0u, Log()[0].find(error)) << Log()[0];
  EXPECT_NE(std::string::npos, Log()[0].find("Permission denied")) << Log()[0];
  EXPECT_EQ(std::string::npos, Log()[0].find("noexec")) << Log()[0];
}

}  // namespace
