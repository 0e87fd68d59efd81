// An upgrade cut short at thirty-odd points, from the first file of the copy to the
// removal of the old copy after the client has been started, and faults injected where
// a file operation can fail: what the next start makes of what was left. Each point is
// one system call of the service sequence (sequence_helper, a single thread), found in
// a trace of a run without faults and hit by strace's injection (SIGKILL, or an error),
// so the points are exact and the same on every run.
//
// The packages carry a MANIFEST, and their start script records whether the copy it is
// about to start from is whole: no start may ever run the client from a half copy.
#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "log_lines.h"
#include "test_env.h"
#include "build_paths.h"

namespace {

std::string Q(const std::string& s) { return "'" + s + "'"; }

// Run in a package changed by a test: its MANIFEST made anew.
const char kRemanifest[] =
    "find . -type f ! -name MANIFEST -print | sort | xargs sha256sum >../manifest && mv ../manifest MANIFEST";

// Everything that makes up a package: the folder's listing order, the sample client,
// a start script that checks the manifest before it hands over to the sample's, nested
// folders, files of many sizes and a link.
const char kMakePackage[] = R"SH(
set -e
mkdir -p "$D"
cd "$D"
i=0
while [ $i -lt 40 ]; do echo "top $B $i" > t$i; i=$((i + 1)); done
for d in 1 2 3; do
  mkdir -p lib$d/sub
  i=0
  while [ $i -lt 15 ]; do echo "lib$d $B $i" > lib$d/f$i; i=$((i + 1)); done
  head -c $((200000 * d + B)) /dev/urandom > lib$d/sub/big
done
ln -s ../INFO lib1/info-link
mkdir package
cp "$SAMPLE/package/start-stop" package/start-stop.sample
cat > package/start-stop <<'EOS'
#!/bin/sh
app=$(cd "$(dirname "$0")/.." && pwd -P)
if [ -f "$app/MANIFEST" ] && (cd "$app" && sha256sum --quiet --strict -c MANIFEST >/dev/null 2>&1); then
  echo "whole $1 $app" >> "${QV_TEST_STARTS:?}"
else
  echo "INCOMPLETE $1 $app" >> "${QV_TEST_STARTS:?}"
fi
# Held until the file QV_TEST_HOLD names exists: a start slow to start its client, in a
# process whose command line names no file of the copy before its path.
[ -n "${QV_TEST_HOLD:-}" ] && exec sh -c 'i=0
while [ ! -e "$QV_TEST_HOLD" ] && [ $i -lt 1200 ]; do sleep 0.05; i=$((i + 1)); done
exec "$@"' hold "$app/package/start-stop.sample" "$@"
exec "$app/package/start-stop.sample" "$@"
EOS
chmod 755 package/start-stop
: > MANIFEST
# Made last, so that a tmpfs lists them first: a half copy that has them looks current.
mkdir bin
cp "$SAMPLE/bin/cloud-drive-ui" bin/
printf '[Version]\nbuild_version=%s\n' "$B" > INFO
find . -type f ! -name MANIFEST -print | sort | xargs sha256sum > ../manifest
cat ../manifest > MANIFEST
rm ../manifest
)SH";

// One system call of the traced run: its name, the path that singles it out among the
// calls of that name that other threads make (relative to the home, empty when only the
// main thread makes them), its number among the calls that strace's when= then counts,
// and its line.
struct Call {
  std::string name;
  std::string path;
  int nth = 0;
  std::string line;
  size_t at = 0;  // its place in the trace
};

// A line of `strace -f -y`: "TID name(args) = result", unfinished calls cut short.
struct TraceLine {
  long tid = 0;
  std::string name;
  std::string text;
};

std::vector<TraceLine> ReadTrace(const std::string& path) {
  std::vector<TraceLine> lines;
  std::istringstream in(qvtest::ReadFile(path));
  std::string line;
  while (std::getline(in, line)) {
    TraceLine l;
    // The thread id is padded to a width.
    const size_t text = line.find_first_not_of(' ', line.find(' '));
    l.tid = std::atol(line.c_str());
    l.text = line.substr(text == std::string::npos ? line.size() : text);
    const size_t paren = l.text.find('(');
    if (paren == std::string::npos || l.text.compare(0, 3, "---") == 0 || l.text.compare(0, 3, "+++") == 0 ||
        l.text.compare(0, 4, "<...") == 0) {
      continue;
    }
    l.name = l.text.substr(0, paren);
    lines.push_back(l);
  }
  return lines;
}

// The path in text around `part`: a quoted argument, or a descriptor's path as -y shows it.
std::string PathAround(const std::string& text, const std::string& part) {
  const size_t at = text.find(part);
  if (at == std::string::npos) return "";
  const size_t from = text.find_last_of("\"<", at) + 1;
  const size_t to = text.find_first_of("\">", at);
  return text.substr(from, to - from);
}

bool IsClientAlive(pid_t pid) {
  const std::string stat = qvtest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return pid > 0 && close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' &&
         stat.find("(cloud-drive-ui)") != std::string::npos;
}

std::string ExeOf(pid_t pid) {
  char buf[4096];
  ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

class InterruptedUpgrade : public ::testing::Test {
 protected:
  void SetUp() override {
    if (qvtest::Shell("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
    // Everything lives on a tmpfs of this process's own, where a folder lists its
    // entries in a fixed order given by their creation.
    work_ = qvtest::MakeTempDir("tmpfs");
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", work_.c_str(), "tmpfs", 0, "size=256m") != 0) {
      GTEST_SKIP() << "a tmpfs in a private mount namespace was refused";
    }
    // The clients that the start scripts leave running become ours to stop and reap.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    root_ = Folder("root");
    package_ = root_ + "/package/skylodge";
    ASSERT_EQ(0, MakePackage(package_, 2));
    ASSERT_TRUE(qvtest::WriteFile(root_ + "/INFO", "[Version]\nbuild_version=2\n"));
    old_ = Folder("old") + "/app";
    ASSERT_EQ(0, MakePackage(old_, 1));
    const std::string first = qvtest::ShellOutput("ls -U -A " + Q(package_) + " | head -n 3");
    ASSERT_EQ(0u, first.find("INFO\n")) << first;
    ASSERT_NE(std::string::npos, first.find("bin\n")) << first;

    // The run whose calls are counted: the same start as every later one.
    const std::string home = NewHome();
    dry_home_ = home;
    const std::string trace = home + "/trace";
    ASSERT_EQ(0, RunSequence(home, "-f -b execve -y -o " + Q(trace) +
                                       " -e trace=openat,mkdir,copy_file_range,symlink,syncfs,fsync,"
                                       "rename,kill,pidfd_open,pidfd_send_signal,poll,clone,clone3,vfork,fork,"
                                       "waitid,unlink,rmdir,pread64"));
    trace_ = ReadTrace(trace);
    ExpectWholeCopyStarted(home);
    StopClients();
  }

  void TearDown() override { StopClients(); }

  std::string Folder(const std::string& hint) {
    const std::string dir = work_ + "/" + hint + "-" + std::to_string(folders_++);
    EXPECT_EQ(0, ::mkdir(dir.c_str(), 0755));
    return dir;
  }

  static int MakePackage(const std::string& dir, int build) {
    const std::string script = qvtest::MakeTempDir("script") + "/make-package.sh";
    if (!qvtest::WriteFile(script, kMakePackage)) return -1;
    return qvtest::Shell("D=" + Q(dir) + " B=" + std::to_string(build) + " SAMPLE=" + Q(QV_SAMPLE_STAGE) +
                         " sh " + Q(script));
  }

  std::string App(const std::string& home) const { return home + "/.QuenvaleDrive/QuenvaleDrive.app"; }

  // A home holding the old copy, with its client running.
  std::string NewHome() {
    const std::string home = Folder("home");
    EXPECT_EQ(0, qvtest::Shell("mkdir -p " + Q(home + "/.QuenvaleDrive") + " && cp -a " + Q(old_) + " " +
                               Q(App(home)) + " && HOME=" + Q(home) + " QV_TEST_STARTS=" +
                               Q(home + "/starts") + " " + Q(App(home) + "/package/start-stop") +
                               " start >/dev/null 2>&1"));
    EXPECT_TRUE(IsClientAlive(ClientPid(home)));
    return home;
  }

  // The service sequence on home, under strace with `strace_args` when given. Its exit
  // status: 0 done, 1 upgrade failed, anything else cut short.
  int RunSequence(const std::string& home, const std::string& strace_args) {
    const int rc = qvtest::Shell(SequenceCommand(home, strace_args));
    Reap();
    return rc;
  }

  // The shell command of such a run, on a host of its own (a UTS namespace) when host is
  // given, logging to log (sequence.log in the home when empty).
  std::string SequenceCommand(const std::string& home, const std::string& strace_args, const std::string& host = "",
                              const std::string& log = "") const {
    std::string command = "cd / && HOME=" + Q(home) + " QV_TEST_STARTS=" + Q(home + "/starts") + " " + env_;
    if (!host.empty()) command += "QV_SEQUENCE_RUN=" + host + " unshare -u sh -c 'hostname " + host + " && exec \"$0\" \"$@\"' ";
    // LeakSanitizer cannot work under a tracer.
    if (!strace_args.empty()) command += "env ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -qq " + strace_args + " ";
    if (!group_.empty()) command = "cd / && echo $$ >" + Q(group_ + "/cgroup.procs") + " && exec env " + command.substr(8);
    command += Q(QV_SEQUENCE_HELPER) + " " + Q(home) + " " + Q(root_) + " " +
               Q(log.empty() ? home + "/sequence.log" : log) + " >/dev/null 2>&1";
    return command;
  }

  // The run of `command` in the background: its shell's pid.
  static pid_t StartSequence(const std::string& command) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return pid;
  }
  static int WaitSequence(pid_t shell) {
    int status = 0;
    if (::waitpid(shell, &status, 0) != shell) return -1;
    Reap();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // The traced run whose tracer writes to `trace`, once the SIGSTOP that the tracer
  // injected has stopped it (the tracer says so; a look at the process's state would
  // also see the stops of the tracing itself): its pid, or 0 after a minute.
  static pid_t AwaitStopped(const std::string& trace) {
    for (int i = 0; i < 6000; ++i) {
      std::istringstream lines(qvtest::ReadFile(trace));
      std::string line;
      while (std::getline(lines, line)) {
        if (line.find("--- stopped by SIGSTOP ---") != std::string::npos) return static_cast<pid_t>(std::atol(line.c_str()));
      }
      ::usleep(10 * 1000);
    }
    return 0;
  }

  // The lines of log at WARNING and above.
  static std::vector<std::string> Warnings(const std::string& log) {
    std::vector<std::string> out;
    for (const qvtest::LogLine& l : qvtest::ReadLogLines(log)) {
      if (l.tag == "WARNING" || l.tag == "ERROR" || !l.parsed) out.push_back(l.raw);
    }
    return out;
  }

  // The live clients run from the home's app folder.
  int ClientsOf(const std::string& home) const {
    int n = 0;
    for (pid_t pid : RunFrom(App(home) + "/bin/cloud-drive-ui")) n += IsClientAlive(pid);
    return n;
  }

  // The processes whose executable's path starts with prefix.
  static std::vector<pid_t> RunFrom(const std::string& prefix) {
    std::vector<pid_t> found;
    DIR* proc = ::opendir("/proc");
    while (proc != nullptr) {
      const struct dirent* entry = ::readdir(proc);
      if (entry == nullptr) break;
      const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
      if (pid > 0 && ExeOf(pid).rfind(prefix, 0) == 0) found.push_back(pid);
    }
    if (proc != nullptr) ::closedir(proc);
    return found;
  }

  // The main thread's checks that the upgrade lock is still the run's own, each with its
  // place in the trace: the read of its own lock file, which comes before the look at
  // the path. A signal that the tracer injects arrives as the call returns, so a run
  // stopped there looks at the path only once it goes on.
  std::vector<std::pair<size_t, Call>> LockChecks() const {
    std::vector<std::pair<size_t, Call>> out;
    const std::string lock = "/.QuenvaleDrive/upgrade.lock";
    for (size_t i = 0; i < trace_.size(); ++i) {
      const TraceLine& l = trace_[i];
      if (l.name != "pread64" || l.tid != trace_.front().tid || l.text.find(dry_home_ + lock) == std::string::npos)
        continue;
      out.push_back({i, {l.name, lock, static_cast<int>(out.size()) + 1, l.text}});
    }
    return out;
  }
  // The place in the trace of the first call named `name` whose line holds every part.
  size_t PlaceOf(const std::string& name, const std::vector<std::string>& parts) const {
    for (size_t i = 0; i < trace_.size(); ++i) {
      bool all = trace_[i].name == name;
      for (const std::string& part : parts) all = all && trace_[i].text.find(part) != std::string::npos;
      if (all) return i;
    }
    return trace_.size();
  }

  // Runs the sequence with `what` (a signal or an error) injected into `call`. The
  // tracer follows the copying threads, and lets go of the processes that the start
  // script runs.
  int Inject(const std::string& home, const Call& call, const std::string& what) {
    std::string args = "-f -b execve -o /dev/null ";
    if (!call.path.empty()) args += "-P " + Q(home + call.path) + " ";
    return RunSequence(home, args + "-e trace=" + call.name + " -e inject=" + call.name + ":" + what +
                                 ":when=" + std::to_string(call.nth));
  }

  pid_t ClientPid(const std::string& home) const {
    const std::string text = qvtest::ReadFile(home + "/.QuenvaleDrive/ui.pid");
    return text.rfind("pid=", 0) == 0 ? static_cast<pid_t>(std::atol(text.c_str() + 4)) : 0;
  }

  std::string Leftovers(const std::string& home) const {
    return qvtest::ShellOutput("ls -d " + Q(home + "/.QuenvaleDrive") + "/QuenvaleDrive.app_* 2>/dev/null");
  }

  // Names, kinds, modes, sizes, link targets and the content of every file.
  std::string Snapshot(const std::string& dir) const {
    return qvtest::ShellOutput("cd " + Q(dir) + " && find . -printf '%P %y %m %s %l\\n' | sort && " +
                               "find . -type f -exec sha256sum {} + | sort");
  }

  // What every start must leave: the package at the app path, nothing beside it, its
  // client running, and no start ever made from a half copy.
  void ExpectWholeCopyStarted(const std::string& home) {
    const std::string app = App(home);
    EXPECT_EQ(0, qvtest::Shell("diff -r " + Q(package_) + " " + Q(app) + " >/dev/null 2>&1"))
        << qvtest::ReadFile(home + "/sequence.log");
    EXPECT_EQ("", Leftovers(home));
    const pid_t pid = ClientPid(home);
    EXPECT_TRUE(IsClientAlive(pid)) << "pid " << pid;
    EXPECT_EQ(app + "/bin/cloud-drive-ui", ExeOf(pid));
    const std::string starts = qvtest::ReadFile(home + "/starts");
    EXPECT_EQ(std::string::npos, starts.find("INCOMPLETE")) << starts;
    EXPECT_NE(0, ::access((home + "/.QuenvaleDrive/held-back-build").c_str(), F_OK)) << "a good build held back";
  }

  // The new build's client exits at once.
  int BreakNewClient() {
    return qvtest::Shell("cd " + Q(package_) + " && printf '#!/bin/sh\\nexit 1\\n' >bin/cloud-drive-ui && " +
                         kRemanifest);
  }
  void ExpectOldCopyRuns(const std::string& home, const std::string& before) {
    EXPECT_EQ(before, Snapshot(App(home)));
    EXPECT_EQ("", Leftovers(home));
    EXPECT_TRUE(IsClientAlive(ClientPid(home)));
    EXPECT_EQ(App(home) + "/bin/cloud-drive-ui", ExeOf(ClientPid(home)));
  }
  // Kills a run with a broken new build at each of points (one call each), then starts once more.
  void KillAndExpectOldCopyRuns(const std::vector<std::vector<Call>>& points) {
    for (const std::vector<Call>& call : points) {
      ASSERT_EQ(1u, call.size());
      SCOPED_TRACE(call.front().line);
      const std::string home = NewHome(), before = Snapshot(App(home));
      const int rc = Inject(home, call.front(), "signal=SIGKILL");
      EXPECT_TRUE(rc != 0 && rc != 1) << "the run was not cut there (" << rc << ")";
      EXPECT_EQ(0, RunSequence(home, ""));
      ExpectOldCopyRuns(home, before);
      StopClients();
    }
  }

  // The live start scripts of the home's app folder (a pattern that pgrep's shell does not match).
  std::string StartScripts(const std::string& home) const {
    return qvtest::ShellOutput("pgrep -f " + Q(App(home) + "[/]package/start-stop"));
  }

  // Kills the run at `call`, then starts once more, normally.
  // With hold, the start script of the killed run is still held then (and stopped by
  // the next start, which must not take it or its client for a failed start).
  void CrashAt(const std::string& what, const std::vector<Call>& calls, bool hold = false) {
    ASSERT_FALSE(calls.empty()) << "no call for " << what;
    for (const Call& call : calls) {
      SCOPED_TRACE(what + " at " + call.line);
      const std::string home = NewHome();
      if (hold) env_ = "QV_TEST_HOLD=" + Q(home + "/go") + " ";
      const int rc = Inject(home, call, "signal=SIGKILL");
      env_.clear();
      EXPECT_TRUE(rc != 0 && rc != 1) << "the run was not cut there (" << rc << ")";
      EXPECT_TRUE(!hold || !StartScripts(home).empty());
      EXPECT_EQ(0, RunSequence(home, ""));
      const std::string held = StartScripts(home);
      EXPECT_EQ("", held) << "the killed run's start script lives on";
      if (!held.empty()) qvtest::Shell("kill -9 " + held);
      ExpectWholeCopyStarted(home);
      EXPECT_EQ(1, ClientsOf(home));
      ++points_;
      StopClients();
    }
  }

  // Fails `call` with `error`: the upgrade fails, the old copy is whole and runs (the
  // same client when the failure came before the stop), nothing is left beside it, and
  // the next start does the upgrade.
  void FailAt(const std::string& what, const std::vector<Call>& calls, const std::string& error,
              bool before_stop) {
    ASSERT_FALSE(calls.empty()) << "no call for " << what;
    for (const Call& call : calls) {
      SCOPED_TRACE(what + " failing with " + error + " at " + call.line);
      const std::string home = NewHome();
      const pid_t client = ClientPid(home);
      const std::string before = Snapshot(App(home));
      EXPECT_EQ(1, Inject(home, call, "error=" + error));
      EXPECT_EQ(before, Snapshot(App(home)));
      EXPECT_EQ("", Leftovers(home));
      const pid_t now = ClientPid(home);
      if (before_stop) {
        EXPECT_EQ(client, now);
      }
      EXPECT_TRUE(IsClientAlive(now));
      EXPECT_EQ(App(home) + "/bin/cloud-drive-ui", ExeOf(now));

      EXPECT_EQ(0, RunSequence(home, ""));
      ExpectWholeCopyStarted(home);
      StopClients();
    }
  }

  // The calls named `name` whose lines hold every one of `parts`, counted among the
  // main thread's calls of that name; no other thread may make such calls.
  std::vector<Call> Calls(const std::string& name, const std::vector<std::string>& parts = {}) const {
    std::vector<Call> out;
    int nth = 0;
    for (const TraceLine& l : trace_) {
      if (l.name != name) continue;
      if (l.tid != trace_.front().tid) {
        ADD_FAILURE() << "another thread calls " << name << ": " << l.text;
        return {};
      }
      ++nth;
      bool all = true;
      for (const std::string& part : parts) all = all && l.text.find(part) != std::string::npos;
      if (all) out.push_back({name, "", nth, l.text, static_cast<size_t>(&l - trace_.data())});
    }
    return out;
  }

  // The calls named `name` whose lines hold `part` and a path holding `in_path` (any
  // thread's), each singled out by that path and counted among the calls on it.
  std::vector<Call> PathCalls(const std::string& name, const std::string& part,
                              const std::string& in_path = "_staging.run/") const {
    std::vector<Call> out;
    std::map<std::string, int> seen;
    for (const TraceLine& l : trace_) {
      if (l.name != name || l.text.find(part) == std::string::npos) continue;
      const std::string path = PathAround(l.text, in_path);
      if (path.rfind(dry_home_, 0) != 0) continue;
      const std::string relative = path.substr(dry_home_.size());
      out.push_back({name, relative, ++seen[relative], l.text, static_cast<size_t>(&l - trace_.data())});
    }
    return out;
  }

  // The first, the one at the middle and the last of calls, or fewer when they coincide.
  static std::vector<Call> Spread(const std::vector<Call>& calls, int points = 3) {
    std::vector<Call> out;
    for (int i = 0; i < points && !calls.empty(); ++i) {
      const Call& call = calls[(calls.size() - 1) * static_cast<size_t>(i) / static_cast<size_t>(points - 1)];
      if (out.empty() || out.back().line != call.line || out.back().nth != call.nth) out.push_back(call);
    }
    return out;
  }
  static std::vector<Call> First(const std::vector<Call>& calls) {
    return calls.empty() ? calls : std::vector<Call>{calls.front()};
  }
  static std::vector<Call> Last(const std::vector<Call>& calls) {
    return calls.empty() ? calls : std::vector<Call>{calls.back()};
  }
  // The first of calls made after `mark`.
  static std::vector<Call> FirstAfter(const std::vector<Call>& calls, const std::vector<Call>& mark) {
    for (const Call& call : calls) {
      if (!mark.empty() && call.at > mark.front().at) return {call};
    }
    return {};
  }

  static void Reap() {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  }

  // Every client started from this test's folders.
  void StopClients() {
    if (work_.empty()) return;  // set-up never got as far as starting one
    std::vector<pid_t> killed;
    for (pid_t pid : RunFrom(work_ + "/")) {
      if (::kill(pid, SIGKILL) == 0) killed.push_back(pid);
    }
    for (int i = 0; i < 200; ++i) {
      Reap();
      bool gone = true;
      for (pid_t pid : killed) gone = gone && ::access(("/proc/" + std::to_string(pid)).c_str(), F_OK) != 0;
      if (gone) break;
      ::usleep(5 * 1000);
    }
  }

  std::string work_, root_, package_, old_, dry_home_;
  std::string group_;  // a control group that the runs join, when set
  std::string env_;    // variables of the runs' environment, when set
  std::vector<TraceLine> trace_;
  int folders_ = 0;
  int points_ = 0;
};

TEST_F(InterruptedUpgrade, CrashWhileTheOldClientStillRuns) {
  CrashAt("making the staging folder", First(Calls("mkdir", {"_staging.run\""})));
  CrashAt("creating a staged file", Spread(PathCalls("openat", "O_CREAT"), 5));
  CrashAt("moving file data", Spread(PathCalls("copy_file_range", "")));
  CrashAt("making a staged folder", First(Calls("mkdir", {"_staging.run/lib"})));
  CrashAt("making a staged link", Calls("symlink", {"_staging.run/"}));
  CrashAt("flushing the staged copy", Calls("syncfs"));
  CrashAt("naming the staged copy ready", Calls("rename", {"_staging.run\"", "_ready.run\""}));
  CrashAt("flushing that name", First(Calls("fsync")));
  EXPECT_GE(points_, 12);
}

TEST_F(InterruptedUpgrade, CrashWhileTheClientIsStoppedAndSwapped) {
  CrashAt("reading the pid file", First(PathCalls("openat", "", "ui.pid")));
  CrashAt("taking hold of the client", First(Calls("pidfd_open")));
  CrashAt("sending SIGTERM", Calls("pidfd_send_signal", {"SIGTERM"}));
  CrashAt("waiting for the client's end", First(Calls("poll", {"pidfd"})));
  CrashAt("setting the old copy aside", Calls("rename", {"QuenvaleDrive.app\", \"", "_tmp\")"}));
  CrashAt("renaming the ready copy into place", Calls("rename", {"_ready.run\", \"", "QuenvaleDrive.app\")"}));
  CrashAt("flushing the swap", Last(Calls("fsync")));
  CrashAt("making the discard folder", Calls("mkdir", {"_discard\""}));
  CrashAt("discarding the old copy", Calls("rename", {"_discard/"}));
  EXPECT_GE(points_, 9);
}

TEST_F(InterruptedUpgrade, CrashWhileTheNewClientStartsAndTheOldCopyGoes) {
  // The copying threads come from clone3 too; the start script's process is the one
  // made with CLONE_VFORK (posix_spawn), or by one of the older calls.
  // (The trial starts before the stop come first.)
  const std::vector<Call> stop = Calls("pidfd_send_signal", {"SIGTERM"});
  std::vector<Call> spawn = FirstAfter(Calls("clone3", {"CLONE_VFORK"}), stop);
  for (const char* name : {"clone", "vfork", "fork"}) {
    if (spawn.empty()) spawn = FirstAfter(Calls(name), stop);
  }
  CrashAt("writing the trial's record", PathCalls("openat", "O_CREAT", "held-back-build.new"));
  CrashAt("naming the trial's record", Calls("rename", {"held-back-build.new\", \""}));
  CrashAt("starting the start script", spawn);
  CrashAt("waiting for the start script", Last(Calls("waitid")));
  CrashAt("waiting for a start script that has not started the client", Last(Calls("waitid")), true);
  CrashAt("reading the pid file in the watch", FirstAfter(PathCalls("openat", "", "ui.pid"), spawn));
  CrashAt("watching the new client", Last(Calls("poll", {"pidfd"})));
  CrashAt("ending the trial", Calls("unlink", {"held-back-build\""}));
  CrashAt("removing the old copy", Spread(Calls("unlink", {"_discard/"}), 4));
  CrashAt("removing the discard folder", Last(Calls("rmdir", {"_discard\")"})));
  EXPECT_GE(points_, 13);

  // A trial record's group that another process leads by now, or that an earlier boot
  // recorded, stops nobody; its own leader is stopped.
  const std::string home = NewHome();
  ASSERT_EQ(0, RunSequence(home, ""));
  const pid_t leader = std::atoi(qvtest::ShellOutput("setsid sleep 60 >/dev/null 2>&1 & echo $!").c_str());
  const std::string stat = qvtest::ReadFile("/proc/" + std::to_string(leader) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  for (int i = 3; i < 22; ++i) fields >> field;
  unsigned long long start = 0;
  fields >> start;
  std::string boot = qvtest::ReadFile("/proc/sys/kernel/random/boot_id");
  boot = boot.substr(0, boot.find('\n'));
  auto runs_after = [&](unsigned long long starter_start, const std::string& starter_boot) {
    EXPECT_TRUE(qvtest::WriteFile(home + "/.QuenvaleDrive/held-back-build",
                                  "build=2\nsince=1\ntrial=1\nstarter=" + std::to_string(leader) + "\nstarter_start=" +
                                      std::to_string(starter_start) + "\nstarter_boot=" + starter_boot + "\n"));
    EXPECT_EQ(0, RunSequence(home, ""));
    const std::string now = qvtest::ReadFile("/proc/" + std::to_string(leader) + "/stat");
    return now.size() > stat.find(')') + 2 && now[stat.find(')') + 2] != 'Z';
  };
  ASSERT_GT(start, 0u);
  EXPECT_TRUE(runs_after(start + 1, boot));
  EXPECT_TRUE(runs_after(start, "another boot"));
  EXPECT_FALSE(runs_after(start, boot));
}

TEST_F(InterruptedUpgrade, FaultsBeforeTheStopLeaveTheClientRunning) {
  FailAt("moving file data", Spread(PathCalls("copy_file_range", "")), "ENOSPC", true);
  FailAt("creating a staged file", Spread(PathCalls("openat", "O_CREAT"), 2), "ENOSPC", true);
  FailAt("making a staged folder", First(Calls("mkdir", {"_staging.run/lib"})), "ENOSPC", true);
  FailAt("making a staged link", Calls("symlink", {"_staging.run/"}), "ENOSPC", true);
  FailAt("flushing the staged copy", Calls("syncfs"), "EIO", true);
  FailAt("flushing the ready name", First(Calls("fsync")), "EIO", true);
}

TEST_F(InterruptedUpgrade, FaultsAfterTheStopPutTheOldCopyBackAndStartIt) {
  FailAt("renaming the ready copy into place", Calls("rename", {"_ready.run\", \"", "QuenvaleDrive.app\")"}), "EIO",
         false);
  FailAt("flushing the swap", Last(Calls("fsync")), "EIO", false);
}

// A closed terminal, a logout or Ctrl-C while the client is down does not end the run
// there: the new client is started first, and then the signal takes its course.
TEST_F(InterruptedUpgrade, SignalsWhileTheClientIsDownWaitForTheStart) {
  const std::vector<std::pair<int, std::vector<Call>>> points = {
      {SIGHUP, Calls("pidfd_send_signal", {"SIGTERM"})},
      {SIGTERM, Calls("rename", {"QuenvaleDrive.app\", \"", "_tmp\")"})},
      {SIGINT, Last(Calls("waitid"))}};
  for (const auto& [sig, calls] : points) {
    ASSERT_EQ(1u, calls.size());
    SCOPED_TRACE(std::string(strsignal(sig)) + " at " + calls.front().line);
    const std::string home = NewHome();
    EXPECT_EQ(128 + sig, Inject(home, calls.front(), std::string("signal=") + sigabbrev_np(sig)));
    EXPECT_EQ(0, qvtest::Shell("diff -r " + Q(package_) + " " + Q(App(home)) + " >/dev/null 2>&1"));
    EXPECT_TRUE(IsClientAlive(ClientPid(home)));
    EXPECT_EQ(App(home) + "/bin/cloud-drive-ui", ExeOf(ClientPid(home)));
    EXPECT_EQ(0, RunSequence(home, ""));
    ExpectWholeCopyStarted(home);
    StopClients();
  }
}

// A new build whose client does not start: the old copy is put back and started, an
// ERROR says why, and the build is not copied again at every start, only once a day has
// passed or with another build.
TEST_F(InterruptedUpgrade, ANewBuildWhoseClientDoesNotStartIsPutBack) {
  ASSERT_EQ(0, BreakNewClient());
  std::string home = NewHome();
  std::string before = Snapshot(App(home));
  const std::string error = "the client of build 2 did not start (the start script exited with status 1), putting "
                            "build 1 back";
  auto errors = [&] { return qvtest::ShellOutput("grep -c " + Q(error) + " " + Q(home + "/sequence.log")); };
  auto check_old_copy_runs = [&] { ExpectOldCopyRuns(home, before); };
  EXPECT_EQ(0, RunSequence(home, "-f -b execve -o " + Q(home + "/trace") + " -e trace=rename"));
  check_old_copy_runs();
  EXPECT_EQ("1\n", errors());
  const std::vector<TraceLine> failed_run = ReadTrace(home + "/trace");

  // The next start leaves the old copy and its client alone.
  const pid_t client = ClientPid(home);
  EXPECT_EQ(0, RunSequence(home, ""));
  check_old_copy_runs();
  EXPECT_EQ(client, ClientPid(home));
  EXPECT_EQ("1\n", errors());
  EXPECT_EQ("1\n", qvtest::ShellOutput("grep -c 'build 2 did not start here on .*, build 1 stays' " +
                                       Q(home + "/sequence.log")));

  // A day later it is tried again.
  const std::string record = home + "/.QuenvaleDrive/held-back-build";
  ASSERT_TRUE(qvtest::WriteFile(record, "build=2\nsince=" + std::to_string(::time(nullptr) - 86400) + "\n"));
  EXPECT_EQ(0, RunSequence(home, ""));
  check_old_copy_runs();
  EXPECT_EQ("2\n", errors());

  // Killed while the new copy goes and the old one comes back, the next start finds it
  // whole and starts it.
  trace_ = failed_run;
  const std::vector<Call> records = Calls("rename", {"held-back-build.new\", \""});
  ASSERT_EQ(3u, records.size()) << "the trial's record, with its start script's group, and the verdict's";
  KillAndExpectOldCopyRuns({Last(records), Calls("rename", {"QuenvaleDrive.app\", \"", "_discard/QuenvaleDrive.app\")"}),
                            Calls("rename", {"_tmp\", \"", "QuenvaleDrive.app\")"})});
  home = NewHome();

  // Another build is tried at once, and once its client runs nothing is held back.
  ASSERT_EQ(0, qvtest::Shell("rm -rf " + Q(package_)));
  ASSERT_EQ(0, MakePackage(package_, 3));
  ASSERT_TRUE(qvtest::WriteFile(root_ + "/INFO", "[Version]\nbuild_version=3\n"));
  EXPECT_EQ(0, RunSequence(home, ""));
  ExpectWholeCopyStarted(home);
  EXPECT_FALSE(qvtest::Shell("test -e " + Q(home + "/.QuenvaleDrive/held-back-build")) == 0);
}

// The client's parent reaps it 2 s after it ended, a zombie meanwhile, and the new build's
// start script asks `kill -0` of the pid file's number, as most do: the pid file must name
// nobody by the time it runs, so that the new client is started and the build kept.
TEST_F(InterruptedUpgrade, AStoppedClientThatIsReapedLateNamesNobody) {
  const std::string script = package_ + "/package/start-stop", tail = "exec \"$app/package/start-stop.sample\"";
  std::string text = qvtest::ReadFile(script);
  ASSERT_NE(std::string::npos, text.find(tail));
  text.insert(text.find(tail), "kill -0 \"$(sed -n 's/^pid=//p' \"$HOME/.QuenvaleDrive/ui.pid\")\" && exit 0\n");
  ASSERT_TRUE(qvtest::WriteFile(script, text));
  ASSERT_EQ(0, qvtest::Shell("cd " + Q(package_) + " && " + kRemanifest));
  const std::string home = NewHome(), ready = home + "/ready";
  StopClients();
  ASSERT_EQ(0, qvtest::Shell("rm " + Q(home + "/.QuenvaleDrive/ui.pid") + " && cp " + Q(QV_FAKE_CLIENT) + " " +
                             Q(App(home) + "/bin/fake") + " && " + Q(QV_FAKE_CLIENT) +
                             " reap-late " + Q(home + "/.QuenvaleDrive/ui.pid") + " " + Q(App(home) + "/bin/fake") +
                             " exit-on-term " + Q(ready) + " >/dev/null 2>&1 &"));
  for (int i = 0; i < 6000 && (::access(ready.c_str(), F_OK) != 0 || ClientPid(home) == 0); ++i) ::usleep(10 * 1000);
  ASSERT_EQ(App(home) + "/bin/fake", ExeOf(ClientPid(home)));
  EXPECT_EQ(0, RunSequence(home, ""));
  ExpectWholeCopyStarted(home);
  EXPECT_EQ(std::vector<std::string>{}, Warnings(home + "/sequence.log"));
}

// Killed while such a build is on trial, from its record on (the stop, the swap, the start
// script), the next start puts the old copy back and tries the build again: the old
// build's client runs.
TEST_F(InterruptedUpgrade, ARunKilledWhileABrokenBuildIsOnTrialKeepsTheOldBuild) {
  ASSERT_EQ(0, BreakNewClient());
  const std::string home = NewHome();
  ASSERT_EQ(0, RunSequence(home, "-f -b execve -o " + Q(home + "/trace") + " -e trace=rename,waitid,pidfd_send_signal"));
  trace_ = ReadTrace(home + "/trace");
  KillAndExpectOldCopyRuns({First(Calls("rename", {"held-back-build.new\", \""})),
                            Calls("pidfd_send_signal", {"SIGTERM"}), Calls("rename", {"QuenvaleDrive.app\", \"", "_tmp\")"}),
                            Calls("rename", {"_ready.run\", \"", "QuenvaleDrive.app\")"}), First(Calls("waitid"))});
}

// A pids control group for the runs, with its limit at what it runs now plus spare.
// "" when the machine has no pids controller that can be used.
std::string MakePidsGroup(const std::string& name) {
  std::string root = "/sys/fs/cgroup";
  if (qvtest::ReadFile(root + "/cgroup.controllers").find("pids") == std::string::npos) root += "/pids";
  const std::string group = root + "/" + name;
  if (::mkdir(group.c_str(), 0755) != 0 || ::access((group + "/pids.max").c_str(), W_OK) != 0) return "";
  return group;
}

// Under a task limit just above what the session runs, the upgrade happens or says
// why it does not, and the user always has a client of a whole copy.
TEST_F(InterruptedUpgrade, UnderATaskLimitTheUserKeepsAClient) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a control group";
  for (const int spare : {2, 3, 4, 8}) {
    SCOPED_TRACE(std::to_string(spare) + " spare");
    const std::string home = NewHome();
    const pid_t client = ClientPid(home);
    const std::string before = Snapshot(App(home));
    group_ = MakePidsGroup("qvtest-" + std::to_string(::getpid()) + "-" + std::to_string(spare));
    if (group_.empty()) GTEST_SKIP() << "no pids control group can be made here";
    ASSERT_TRUE(qvtest::WriteFile(group_ + "/cgroup.procs", std::to_string(client) + "\n"));
    const int session = std::atoi(qvtest::ReadFile(group_ + "/pids.current").c_str());
    ASSERT_TRUE(qvtest::WriteFile(group_ + "/pids.max", std::to_string(session + spare) + "\n"));
    const int rc = RunSequence(home, "");
    const std::string log = qvtest::ReadFile(home + "/sequence.log");
    if (spare < 8) {
      EXPECT_EQ(1, rc);
      EXPECT_EQ(before, Snapshot(App(home)));
      EXPECT_EQ("", Leftovers(home));
      EXPECT_EQ(client, ClientPid(home));
      EXPECT_TRUE(IsClientAlive(client));
      EXPECT_NE(std::string::npos, log.find("not upgrading the copy in use now: no process can be started "
                                            "(Resource temporarily unavailable)")) << log;
    } else {
      EXPECT_EQ(0, rc);
      ExpectWholeCopyStarted(home);
    }
    StopClients();
    qvtest::Shell("cd " + Q(group_) + " && while [ -s cgroup.procs ]; do xargs kill -9 <cgroup.procs; sleep 0.05; done; "
                  "rmdir " + Q(group_));
    group_.clear();
  }
}

}  // namespace

namespace {

// Host A is frozen (a laptop suspended mid-upgrade) at one of its checks of the lock,
// host B on the same home takes the lock over as a launcher of another machine does
// once it has watched it go unrefreshed for the stale time (A still holds the lock's
// native lock here, so the test removes the file for it), and upgrades. When A wakes,
// it changes nothing: B's result stands, with one whole copy and one client, B's lock
// stays as B made it, and A says so in one WARNING.
TEST_F(InterruptedUpgrade, ALauncherThatLostTheLockChangesNothingMore) {
  if (qvtest::Shell("unshare -u true 2>/dev/null") != 0) GTEST_SKIP() << "no UTS namespace for a second host name";
  const std::vector<std::pair<size_t, Call>> checks = LockChecks();
  // The copy's walk looks at the lock at each folder, while the threads copy the files
  // of the folders before.
  const size_t copying = PlaceOf("mkdir", {"_staging.run\""}), flushed = PlaceOf("syncfs", {});
  const size_t stopped = PlaceOf("pidfd_send_signal", {"SIGTERM"});
  const size_t aside = PlaceOf("rename", {"QuenvaleDrive.app\", \"", "_tmp\")"});
  auto first_after = [&](size_t from, size_t to) {
    std::vector<Call> in;
    for (const auto& check : checks) {
      if (check.first > from && check.first < to) in.push_back(check.second);
    }
    return in;
  };
  const std::vector<Call> mid_copy = first_after(copying, flushed);
  ASSERT_GE(mid_copy.size(), 3u) << "the copy looks at the lock too seldom";
  const std::vector<Call> after_stop = first_after(stopped, aside);
  const std::vector<Call> between = first_after(aside, trace_.size());
  ASSERT_FALSE(after_stop.empty());
  ASSERT_FALSE(between.empty());

  struct Moment {
    const char* what;
    Call check;
    bool b_frozen;  // B is frozen mid-copy itself while A wakes
  };
  const Moment moments[] = {{"mid-copy, B already done", mid_copy[mid_copy.size() / 2], false},
                            {"mid-copy, B still copying", mid_copy[mid_copy.size() / 2], true},
                            {"right after A stopped the old client", after_stop.front(), false},
                            {"between the two renames of the swap", between.front(), false}};
  for (const Moment& m : moments) {
    SCOPED_TRACE(std::string(m.what) + ", A frozen at " + m.check.line);
    const std::string home = NewHome();
    const std::string lock = home + m.check.path;
    auto freeze = [&](const std::string& host) {
      return StartSequence(SequenceCommand(home,
                                           "-f -b execve -o " + Q(home + "/" + host + ".trace") + " -P " + Q(lock) +
                                               " -e trace=pread64 -e inject=pread64:signal=SIGSTOP:when=" +
                                               std::to_string(m.check.nth),
                                           host, home + "/" + host + ".log"));
    };
    const pid_t a = freeze("qv-host-a");
    const pid_t frozen_a = AwaitStopped(home + "/qv-host-a.trace");
    ASSERT_NE(0, frozen_a);
    ASSERT_EQ(0, ::unlink(lock.c_str()));

    pid_t b = 0, frozen_b = 0;
    std::string b_lock;
    if (m.b_frozen) {
      b = freeze("qv-host-b");
      frozen_b = AwaitStopped(home + "/qv-host-b.trace");
      ASSERT_NE(0, frozen_b);
      b_lock = qvtest::ShellOutput("stat -c %i " + Q(lock)) + qvtest::ReadFile(lock);
    } else {
      EXPECT_EQ(0, qvtest::Shell(SequenceCommand(home, "", "qv-host-b", home + "/qv-host-b.log")));
    }
    ::kill(frozen_a, SIGCONT);
    EXPECT_EQ(0, WaitSequence(a));
    if (m.b_frozen) {
      EXPECT_EQ(b_lock, qvtest::ShellOutput("stat -c %i " + Q(lock)) + qvtest::ReadFile(lock));
      ::kill(frozen_b, SIGCONT);
      EXPECT_EQ(0, WaitSequence(b));
    }

    ExpectWholeCopyStarted(home);
    EXPECT_EQ(1, ClientsOf(home)) << "A:\n" << qvtest::ReadFile(home + "/qv-host-a.log") << "B:\n"
                                  << qvtest::ReadFile(home + "/qv-host-b.log");
    EXPECT_EQ(std::vector<std::string>{}, Warnings(home + "/qv-host-b.log"));
    const std::vector<std::string> said = Warnings(home + "/qv-host-a.log");
    ASSERT_EQ(1u, said.size()) << qvtest::ReadFile(home + "/qv-host-a.log");
    const std::string holder = m.b_frozen ? "(held by pid " + std::to_string(frozen_b) + " on host 'qv-host-b' now)"
                                          : "(held by nobody now)";
    EXPECT_NE(std::string::npos, said[0].find("[WARNING] cloud-service.cpp(")) << said[0];
    EXPECT_NE(std::string::npos, said[0].find("the upgrade lock of '" + App(home) + "' is no longer this launcher's " +
                                              holder + ": leaving the upgrade to that launcher"))
        << said[0];
    EXPECT_NE(0, ::access(lock.c_str(), F_OK)) << "B's lock outlived B";
    StopClients();
  }
}

}  // namespace

namespace {

// The package is upgraded again once the run has checked its copy (at the flush of the
// staged copy): the run goes again before it ends, so the client does not stay a build
// behind until the next start.
TEST_F(InterruptedUpgrade, APackageUpgradedAgainDuringTheRunIsInstalledToo) {
  const std::vector<Call> flush = Calls("syncfs");
  ASSERT_EQ(1u, flush.size());
  const std::string home = NewHome();
  const pid_t run = StartSequence(SequenceCommand(
      home, "-f -b execve -o " + Q(home + "/trace") + " -e trace=syncfs -e inject=syncfs:signal=SIGSTOP:when=1"));
  const pid_t stopped = AwaitStopped(home + "/trace");
  ASSERT_NE(0, stopped);
  ASSERT_EQ(0, qvtest::Shell("rm -rf " + Q(package_)));
  ASSERT_EQ(0, MakePackage(package_, 3));
  ASSERT_TRUE(qvtest::WriteFile(root_ + "/INFO", "[Version]\nbuild_version=3\n"));
  ::kill(stopped, SIGCONT);
  EXPECT_EQ(0, WaitSequence(run));

  ExpectWholeCopyStarted(home);
  EXPECT_EQ(1, ClientsOf(home));
  const std::string log = qvtest::ReadFile(home + "/sequence.log");
  EXPECT_NE(std::string::npos, log.find("[NOTE] cloud-service.cpp(")) << log;
  EXPECT_NE(std::string::npos,
            log.find("the package's build is now '3', not '2' as at the start of this run: upgrading again"))
      << log;
}

}  // namespace
