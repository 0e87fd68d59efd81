#include "e2e_env.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "test_env.h"
#include "build_paths.h"

extern char** environ;

namespace e2e {
namespace {

struct Outputs {
  std::string out, err;
};
std::map<pid_t, Outputs> g_outputs;  // launches not yet collected
std::map<pid_t, int> g_reaped;       // wait statuses of children reaped while waiting

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// "KEY = VALUE" with blanks around either part and none inside the value. (No std::regex:
// GCC warns inside it under the sanitizers.)
bool ValueOf(const std::string& line, const std::string& key, std::string* value) {
  const char* blanks = " \t\r\f\v";
  const size_t first = line.find_first_not_of(blanks);
  if (first == std::string::npos || line.compare(first, key.size(), key) != 0) return false;
  const size_t eq = line.find_first_not_of(blanks, first + key.size());
  if (eq == std::string::npos || line[eq] != '=') return false;
  const size_t start = line.find_first_not_of(blanks, eq + 1);
  if (start == std::string::npos) {
    value->clear();
    return true;
  }
  const size_t end = line.find_first_of(blanks, start);
  if (end != std::string::npos && line.find_first_not_of(blanks, end) != std::string::npos)
    return false;
  *value = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
  return true;
}

}  // namespace

std::string InstallTree() {
  std::string dir = RealPath(qvtest::MakeTempDir("install"));
  std::string err = qvtest::SandboxRoot() + "/install-" + std::to_string(::getpid()) + ".err";
  int rc = qvtest::Shell(Quote(QV_CMAKE_COMMAND) + " --install " + Quote(QV_BINARY_DIR) +
                         " --prefix " + Quote(dir) + " >/dev/null 2>" + Quote(err));
  if (rc != 0) {
    ADD_FAILURE() << "cmake --install failed (" << rc << "): " << qvtest::ReadFile(err);
  }
  if (!Exists(dir + "/INFO")) {
    // Built without installing the sample client: stage the package by hand.
    qvtest::Shell("mkdir -p " + Quote(dir + "/package") + " && cp -a " +
                  Quote(QV_SAMPLE_STAGE) + " " + Quote(dir + "/package/skylodge") +
                  " && cp " + Quote(std::string(QV_SAMPLE_STAGE) + "/INFO") + " " +
                  Quote(dir + "/INFO") + " && cp " + Quote(QV_SAMPLE_ARCHIVE) + " " +
                  Quote(dir + "/package/"));
  }
  return dir;
}

void SetAllLevels(const std::string& root, int level) {
  std::string text;
  for (const char* c : {"launcher_debug", "service_debug", "extractor_debug", "file_op_debug",
                        "default_component"}) {
    text += std::string(c) + "=" + std::to_string(level) + "\n";
  }
  ASSERT_TRUE(qvtest::WriteFile(root + "/log/launcher.debug", text));
}

void SetBuild(const std::string& root, int build) {
  for (const std::string& path : {root + "/INFO", root + "/package/skylodge/INFO"}) {
    std::string text;
    for (const std::string& line : SplitLines(qvtest::ReadFile(path))) {
      if (line.rfind("build_version", 0) == 0) {
        text += "build_version=" + std::to_string(build) + "\n";
      } else {
        text += line + "\n";
      }
    }
    ASSERT_TRUE(qvtest::WriteFile(path, text));
    ASSERT_EQ(BuildOf(path), std::to_string(build)) << path;
  }
}

std::string BuildOf(const std::string& info_path) {
  bool in_version = false;
  std::string value;
  for (const std::string& line : SplitLines(qvtest::ReadFile(info_path))) {
    if (!line.empty() && line[0] == '[') in_version = (line.rfind("[Version]", 0) == 0);
    if (in_version && ValueOf(line, "build_version", &value)) return value;
  }
  return "";
}

pid_t StartLauncher(const LaunchOptions& options) {
  const std::string program = options.program.empty() ? options.root + "/bin/launcher" : options.program;
  const std::string out_dir = qvtest::MakeTempDir("launch");
  Outputs outputs{out_dir + "/stdout", out_dir + "/stderr"};

  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string kv(*e);
    size_t eq = kv.find('=');
    if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [key, value] : options.env) {
    if (value) {
      env[key] = *value;
    } else {
      env.erase(key);
    }
  }
  std::vector<std::string> env_text;
  for (const auto& [key, value] : env) env_text.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (std::string& kv : env_text) envp.push_back(kv.data());
  envp.push_back(nullptr);
  std::vector<std::string> words = options.wrapper;
  words.push_back(program);
  words.insert(words.end(), options.args.begin(), options.args.end());
  if (options.wrapper.empty() && !options.argv0.empty()) words[0] = options.argv0;
  const std::string file = options.wrapper.empty() ? program : options.wrapper[0];
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  int out = ::open(outputs.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = ::open(outputs.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
    if (options.unprivileged && ::getuid() == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(qvtest::UnprivilegedGid()) != 0 ||
          ::setuid(qvtest::UnprivilegedUid()) != 0) {
        ::_exit(126);
      }
    }
    // A test killed by its time limit must not leave its launcher behind.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // execvp looks a bare name up in PATH, which it takes from environ.
    environ = envp.data();
    ::execvp(file.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out);
  ::close(err);
  ::close(in);
  if (pid > 0) g_outputs[pid] = outputs;
  return pid;
}

LaunchResult WaitLauncher(pid_t pid, int timeout_ms) {
  LaunchResult result;
  result.pid = pid;
  if (pid <= 0) return result;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  for (;;) {
    ReapEnded();
    auto it = g_reaped.find(pid);
    if (it != g_reaped.end()) {
      status = it->second;
      g_reaped.erase(it);
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    SleepMs(10);
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  auto out = g_outputs.find(pid);
  if (out != g_outputs.end()) {
    result.out = qvtest::ReadFile(out->second.out);
    result.err = qvtest::ReadFile(out->second.err);
    g_outputs.erase(out);
  }
  return result;
}

bool HasEnded(pid_t pid) {
  ReapEnded();
  return g_reaped.count(pid) != 0;
}

void BecomeSubreaper() { ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0), 0); }

void ReapEnded() {
  int status = 0;
  pid_t r;
  while ((r = ::waitpid(-1, &status, WNOHANG)) > 0) g_reaped[r] = status;
}

std::string UserFolder(const std::string& home) { return home + "/.QuenvaleDrive"; }
std::string AppFolder(const std::string& home) { return UserFolder(home) + "/QuenvaleDrive.app"; }

pid_t ClientPid(const std::string& home) {
  std::string value;
  for (const std::string& line : SplitLines(qvtest::ReadFile(UserFolder(home) + "/ui.pid"))) {
    if (ValueOf(line, "pid", &value) && !value.empty() &&
        value.find_first_not_of("0123456789") == std::string::npos) {
      return static_cast<pid_t>(std::atol(value.c_str()));
    }
  }
  return 0;
}

bool IsClientAlive(pid_t pid) {
  if (pid <= 0) return false;
  std::string stat = qvtest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t open = stat.find('(');
  size_t close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size()) {
    return false;
  }
  char state = stat[close + 2];
  return stat.substr(open + 1, close - open - 1) == "cloud-drive-ui" && state != 'Z' &&
         state != 'X';
}

void StopClient(pid_t pid) {
  if (!IsClientAlive(pid)) return;
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 250 && IsClientAlive(pid); ++i) {
    ReapEnded();
    SleepMs(20);
  }
  if (IsClientAlive(pid)) ::kill(pid, SIGKILL);
  for (int i = 0; i < 100 && IsClientAlive(pid); ++i) SleepMs(10);
  ReapEnded();
}

void StopAllClients(const std::vector<std::string>& homes) {
  for (const std::string& home : homes) StopClient(ClientPid(home));
  // Clients whose pid file is gone or was rewritten: as sub-reaper we inherited them.
  if (DIR* d = ::opendir("/proc")) {
    while (dirent* e = ::readdir(d)) {
      pid_t pid = static_cast<pid_t>(std::atol(e->d_name));
      if (pid <= 0 || !IsClientAlive(pid)) continue;
      std::string stat = qvtest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
      size_t close = stat.rfind(')');
      int ppid = 0;
      if (close != std::string::npos && std::sscanf(stat.c_str() + close + 2, "%*c %d", &ppid) == 1 &&
          ppid == ::getpid()) {
        StopClient(pid);
      }
    }
    ::closedir(d);
  }
  ReapEnded();
}

std::vector<LogLine> ReadLog(const std::string& home) {
  return qvtest::ReadLogLines(UserFolder(home) + "/log/launcher.log");
}

std::vector<LogLine> LinesOf(const std::vector<LogLine>& log, pid_t pid) {
  std::vector<LogLine> out;
  for (const LogLine& l : log) {
    if (l.pid == pid) out.push_back(l);
  }
  return out;
}

namespace {

// message equals pattern, where each "<RUN>" in pattern stands for the token that names
// a run's staging and ready copies (16 hex digits).
bool MatchesWithRun(const std::string& message, const std::string& pattern) {
  static const std::string kRun = "<RUN>";
  size_t at = 0, from = 0;
  for (size_t run; (run = pattern.find(kRun, from)) != std::string::npos; from = run + kRun.size()) {
    if (message.compare(at, run - from, pattern, from, run - from) != 0) return false;
    at += run - from;
    if (message.size() < at + 16 || message.find_first_not_of("0123456789abcdef", at) < at + 16) return false;
    at += 16;
  }
  return message.compare(at, std::string::npos, pattern, from, std::string::npos) == 0;
}

}  // namespace

::testing::AssertionResult InOrder(
    const std::vector<LogLine>& lines,
    const std::vector<std::pair<std::string, std::string>>& expected) {
  size_t next = 0;
  for (const LogLine& l : lines) {
    if (next < expected.size() && l.tag == expected[next].first &&
        MatchesWithRun(l.message, expected[next].second)) {
      ++next;
    }
  }
  if (next == expected.size()) return ::testing::AssertionSuccess();
  std::string log;
  for (const LogLine& l : lines) log += l.raw + "\n";
  return ::testing::AssertionFailure() << "missing or out of order: [" << expected[next].first
                                       << "] \"" << expected[next].second << "\"\nlog:\n"
                                       << log;
}

bool HasMessage(const std::vector<LogLine>& lines, const std::string& message) {
  for (const LogLine& l : lines) {
    if (l.message == message) return true;
  }
  return false;
}

std::string Snapshot(const std::string& dir) {
  return qvtest::ShellOutput("cd " + Quote(dir) +
                             " && find . -printf '%p %y %m %s %l\\n' | sort"
                             " && find . -type f -exec md5sum {} + | sort");
}

Home MakeHome(const std::string& hint, bool unprivileged) {
  Home home;
  home.path = RealPath(qvtest::MakeTempDir(hint));
  home.unprivileged = unprivileged;
  for (const char* sub : {"/.local", "/.local/share", "/.config", "/.cache", "/.run"}) {
    ::mkdir((home.path + sub).c_str(), 0755);
  }
  ::chmod((home.path + "/.run").c_str(), 0700);
  if (unprivileged && ::getuid() == 0) {
    qvtest::Shell("chown -R " + std::to_string(qvtest::UnprivilegedUid()) + ":" +
                  std::to_string(qvtest::UnprivilegedGid()) + " " + Quote(home.path));
  }
  home.env = {
      {"HOME", home.path},
      {"XDG_DATA_HOME", home.path + "/.local/share"},
      {"XDG_CONFIG_HOME", home.path + "/.config"},
      {"XDG_CACHE_HOME", home.path + "/.cache"},
      {"XDG_RUNTIME_DIR", home.path + "/.run"},
      {"QT_QPA_PLATFORM", std::string("offscreen")},
      {"XDG_CURRENT_DESKTOP", std::nullopt},
      {"DISPLAY", std::nullopt},
  };
  return home;
}

void E2eTest::SetUp() { BecomeSubreaper(); }

void E2eTest::TearDown() {
  std::vector<std::string> paths;
  for (const Home& h : homes_) paths.push_back(h.path);
  StopAllClients(paths);
  for (pid_t server : servers_) {
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
  }
}

const Home& E2eTest::AddHome(const std::string& hint, bool unprivileged) {
  homes_.push_back(MakeHome(hint, unprivileged));
  return homes_.back();
}

LaunchOptions E2eTest::SpecFor(const std::string& root, const Home& home) const {
  LaunchOptions options;
  options.root = root;
  options.env = home.env;
  options.unprivileged = home.unprivileged;
  return options;
}

// Whether display n is taken here: its lock file, its socket file or its abstract socket
// (which an X client tries first, and which a server behind another /tmp may hold).
static bool DisplayTaken(int n) {
  const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
  return ::access(("/tmp/.X" + std::to_string(n) + "-lock").c_str(), F_OK) == 0 ||
         ::access(socket.c_str(), F_OK) == 0 ||
         qvtest::ReadFile("/proc/net/unix").find("@" + socket + "\n") != std::string::npos;
}

std::string E2eTest::StartXvfb(const std::vector<std::string>& wrapper) {
  // Each test picks its own display numbers, far from :0 and from each other's, so that
  // servers in private mount namespaces (whose lock files it cannot see) never share one.
  for (int attempt = 0, n = 200 + static_cast<int>(::getpid() * 7 % 700); attempt < 8; ++attempt, n = 200 + (n - 199) % 700) {
    if (DisplayTaken(n)) continue;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return "";
    const std::string display = ":" + std::to_string(n);
    const pid_t server = ::fork();
    if (server == 0) {
      ::dup2(fds[1], 3);  // dup2 clears close-on-exec on the copy
      int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive a test killed by its time limit
      std::vector<const char*> argv;
      for (const std::string& word : wrapper) argv.push_back(word.c_str());
      argv.push_back(wrapper.empty() ? qvbuild::kXvfb : "Xvfb");
      argv.push_back(display.c_str());
      // -noreset: without it the server resets whenever its last client leaves, as the
      // tests' probes of the display do, and a launcher connecting meanwhile is refused.
      for (const char* arg : {"-displayfd", "3", "-nolisten", "tcp", "-noreset", "-screen", "0", "1024x768x24"}) {
        argv.push_back(arg);
      }
      argv.push_back(nullptr);
      ::execvp(argv[0], const_cast<char* const*>(argv.data()));
      ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    if (!number.empty()) {
      servers_.push_back(server);
      return ":" + number;
    }
    // Taken meanwhile by another test: the server gave up; the next number.
    if (server > 0) ::waitpid(server, nullptr, 0);
  }
  return "";
}

namespace {

// Starts argv with its standard output on a pipe and returns the first line it prints
// (readiness), "" when it ends first. The process goes into *pid.
std::string SpawnUntilFirstLine(const std::vector<std::string>& argv, pid_t* pid,
                                const std::map<std::string, std::string>& env = {}) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return "";
  *pid = ::fork();
  if (*pid == 0) {
    ::dup2(fds[1], 1);
    for (const auto& kv : env) ::setenv(kv.first.c_str(), kv.second.c_str(), 1);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string line;
  char c;
  while (*pid > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') line += c;
  ::close(fds[0]);
  return line;
}

}  // namespace

std::string E2eTest::StartNotifyBus(const std::string& socket, const std::string& mode) {
  const std::string dir = qvtest::MakeTempDir("bus");
  const std::string config = dir + "/bus.conf";
  qvtest::WriteFile(config,
                    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                    "<busconfig><type>session</type><listen>unix:path=" + socket + "</listen>"
                    "<auth>EXTERNAL</auth><policy context=\"default\">"
                    "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
  pid_t daemon = -1;
  const std::string address =
      SpawnUntilFirstLine({QV_DBUS_DAEMON, "--config-file=" + config, "--nofork", "--nopidfile", "--print-address=1"},
                          &daemon);
  if (daemon > 0) servers_.insert(servers_.begin(), daemon);
  if (address.empty() || mode == "none") return address;
  notify_record_ = dir + "/notify.calls";
  pid_t service = -1;
  const std::string ready = SpawnUntilFirstLine({QV_NOTIFY_RECORDER, notify_record_, mode}, &service,
                                                {{"DBUS_SESSION_BUS_ADDRESS", address}});
  // Stopped before the bus.
  if (service > 0) servers_.insert(servers_.begin(), service);
  return ready == "ready" ? address : "";
}

bool E2eTest::StartAtspiReader(const std::string& address, const std::string& display, const std::string& app,
                               const std::string& record) {
  // GSettings in memory: the bus launcher would open a settings store under the home.
  const std::string home = qvtest::MakeTempDir("atspi-home");
  pid_t reader = -1;
  const std::string ready = SpawnUntilFirstLine(
      {QV_SYSTEM_PYTHON, QV_ATSPI_FOLLOW, app, record}, &reader,
      {{"DBUS_SESSION_BUS_ADDRESS", address}, {"DISPLAY", display}, {"HOME", home}, {"XDG_RUNTIME_DIR", home},
       {"XDG_CONFIG_HOME", home}, {"XDG_CACHE_HOME", home}, {"GSETTINGS_BACKEND", "memory"}});
  if (reader > 0) servers_.insert(servers_.begin(), reader);
  return ready == "ready";
}

std::vector<std::string> E2eTest::Notifications() const {
  std::vector<std::string> lines;
  std::istringstream in(qvtest::ReadFile(notify_record_));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace e2e
