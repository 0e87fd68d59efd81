#include "test_env.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <grp.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace qvtest {
namespace {

std::string g_root;
// Set when the watchdog takes over, in the process it watches.
std::atomic<pid_t> g_expiring{0};
// The child that finishes the clean-up after the watchdog's end; left out of it.
std::atomic<pid_t> g_cleaner{0};
std::atomic<int> g_counter{0};

void MakeDir(const std::string& path, mode_t mode) {
  ::mkdir(path.c_str(), mode);
  ::chmod(path.c_str(), mode);
}

// A mount point as /proc/self/mountinfo writes it, with blanks and the like as octal
// escapes ("\040").
std::string Unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// Takes away what tests mounted at or below root in this process's mount namespace,
// deepest first: such a mount (a tmpfs in a namespace of the test's own) ends only with
// the process, after the removal, which it would otherwise stop.
void UnmountBelow(const std::string& root) {
  char real[PATH_MAX];
  const std::string base = ::realpath(root.c_str(), real) != nullptr ? std::string(real) : root;
  std::ifstream mounts("/proc/self/mountinfo");
  std::vector<std::string> points;
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, source, point;
    fields >> id >> parent >> device >> source >> point;
    point = Unescape(point);
    if (point == base || point.rfind(base + "/", 0) == 0) points.push_back(point);
  }
  // A later line mounts over or below an earlier one.
  for (auto it = points.rbegin(); it != points.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
}

// A file of /proc, or what of it could be read: a process that ends meanwhile fails the
// read with ESRCH, on which a stream would throw (in the watchdog's thread, an abort).
std::string ReadProcFile(const std::filesystem::path& path) {
  std::string text;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  ::close(fd);
  return text;
}

// Every process below this one, by their parents in /proc, and those that left it (a
// client that went to the background) but still have the sandbox in their environment.
std::vector<pid_t> Descendants() {
  std::multimap<pid_t, pid_t> children;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const std::filesystem::directory_entry& entry = *it;
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = ReadProcFile(entry.path() / "stat");
    const size_t close = stat.rfind(')');
    int ppid = 0;
    if (close != std::string::npos && std::sscanf(stat.c_str() + close + 2, "%*c %d", &ppid) == 1) {
      const std::string vars = ReadProcFile(entry.path() / "environ");
      const pid_t pid = static_cast<pid_t>(std::atol(name.c_str()));
      if (pid != ::getpid() && !g_root.empty() && vars.find("=" + g_root + "/") != std::string::npos) ppid = ::getpid();
      children.emplace(ppid, pid);
    }
  }
  std::vector<pid_t> found{::getpid()};
  for (size_t i = 0; i < found.size(); ++i) {
    auto [first, last] = children.equal_range(found[i]);
    for (auto it = first; it != last; ++it) {
      if (it->second != g_cleaner) found.push_back(it->second);
    }
  }
  found.erase(found.begin());
  return found;
}

void EndDescendants() {
  // TERM first: the holders of private systems remove their control groups on it.
  for (pid_t pid : Descendants()) ::kill(pid, SIGTERM);
  for (int i = 0; i < 100 && !Descendants().empty(); ++i) {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (int i = 0; i < 50; ++i) {
    const std::vector<pid_t> left = Descendants();
    if (left.empty()) break;
    for (pid_t pid : left) ::kill(pid, SIGKILL);
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

void WatchTimeLimit(int* argc, char** argv) {
  const std::string flag = "--qv_time_limit=";
  int limit = 0;
  int kept = 0;
  for (int i = 0; i < *argc; ++i) {
    if (i > 0 && std::string(argv[i]).rfind(flag, 0) == 0) {
      limit = std::atoi(argv[i] + flag.size());
    } else {
      argv[kept++] = argv[i];
    }
  }
  *argc = kept;
  if (limit <= 0) return;
  // Ahead of CTest by a twentieth, and by enough to clean up after an e2e case.
  const int margin = std::max(5, limit / 20);
  std::thread([limit, margin] {
    std::this_thread::sleep_for(std::chrono::seconds(std::max(1, limit - margin)));
    g_expiring = ::getpid();
    std::fprintf(stderr, "the case's time limit of %d s is near: ending its processes and removing its sandbox\n", limit);
    // First a child that, once this process has ended however it ends (the case goes on
    // meanwhile, and may crash in a world whose processes are gone), ends what is left
    // and removes the sandbox (glibc's fork keeps malloc usable in it).
    const pid_t self = ::getpid();
    const pid_t cleaner = ::fork();
    if (cleaner == 0) {
      while (::getppid() == self) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      // A child forked just before this process ended shows the sandbox in its environment
      // only once it runs its program, and may then write there again: looked for until
      // two rounds in a row find nothing and leave no sandbox.
      for (int round = 0, clean = 0; round < 100 && clean < 2; ++round) {
        EndDescendants();
        RemoveSandbox();
        std::error_code ec;
        clean = std::filesystem::exists(g_root, ec) || !Descendants().empty() ? 0 : clean + 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      std::_Exit(0);
    }
    g_cleaner = cleaner;
    EndDescendants();
    std::_Exit(1);
  }).detach();
}

const std::string& SandboxRoot() { return g_root; }

void PrepareSandbox() {
  const char* base = std::getenv("QV_TEST_TMP");
  // CTest gives each process of a run the run's tag, by which the check at the end of
  // the run finds the sandboxes that the run left behind.
  const char* run = std::getenv("QV_TEST_RUN");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qvtest-" +
                     (run && *run ? std::string(run) + "-" : std::string()) + "XXXXXX";
  if (!::mkdtemp(tmpl.data())) {
    std::perror("mkdtemp");
    std::exit(2);
  }
  g_root = tmpl;
  // Readable by all so that a child that dropped root can still reach its own folders.
  ::chmod(g_root.c_str(), 0755);
  MakeDir(g_root + "/home", 0755);
  MakeDir(g_root + "/home/.local", 0755);
  MakeDir(g_root + "/home/.local/share", 0755);
  MakeDir(g_root + "/home/.config", 0755);
  MakeDir(g_root + "/home/.cache", 0755);
  MakeDir(g_root + "/run", 0700);
  MakeDir(g_root + "/tmp", 01777);

  ::setenv("HOME", (g_root + "/home").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (g_root + "/home/.local/share").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (g_root + "/home/.config").c_str(), 1);
  ::setenv("XDG_CACHE_HOME", (g_root + "/home/.cache").c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", (g_root + "/run").c_str(), 1);
  ::setenv("TMPDIR", (g_root + "/tmp").c_str(), 1);
  // Never reach the developer's desktop or display from a test.
  ::unsetenv("XDG_CURRENT_DESKTOP");
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

void RemoveSandbox() {
  // The cases ended meanwhile: the watchdog ends the process, and its exit must not race
  // the static destructors of a return from main.
  while (g_expiring == ::getpid()) ::pause();
  if (g_root.empty() || std::getenv("QV_KEEP_TEST_DIRS")) return;
  UnmountBelow(g_root);
  std::error_code ec;
  // Tests may leave read-only folders behind; make them writable before removal.
  for (auto it = std::filesystem::recursive_directory_iterator(
           g_root, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0755);
  }
  std::filesystem::remove_all(g_root, ec);
}

std::string MakeTempDir(const std::string& hint) {
  std::string path = g_root + "/" + hint + "-" + std::to_string(::getpid()) + "-" +
                     std::to_string(g_counter++);
  std::filesystem::remove_all(path);
  MakeDir(path, 0755);
  return path;
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int Shell(const std::string& command) {
  int status = std::system(command.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string ShellOutput(const std::string& command) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}

unsigned UnprivilegedUid() { return 65534; }

unsigned ClaimUid(unsigned from) {
  for (unsigned uid = from; uid < from + 500; ++uid) {
    const int fd = ::open(("/run/qv-test-uid-" + std::to_string(uid)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) continue;
    bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc", ec), end; free && !ec && it != end; it.increment(ec)) {
      std::istringstream status(ReadProcFile(it->path() / "status"));
      for (std::string line; std::getline(status, line);) {
        if (line.rfind("Uid:", 0) == 0) {
          free = std::strtoul(line.c_str() + 4, nullptr, 10) != uid;
          break;
        }
      }
    }
    if (free) return uid;  // the descriptor, and with it the claim, stays to the end
    ::close(fd);
  }
  return 0;
}
unsigned UnprivilegedGid() { return 65534; }

int RunInChild(const std::function<int()>& fn) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int rc = fn();
    std::fflush(nullptr);
    ::_exit(rc & 0xff);
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

int RunUnprivileged(const std::function<int()>& fn) {
  return RunInChild([&fn] {
    if (::getuid() == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(UnprivilegedGid()) != 0 ||
          ::setuid(UnprivilegedUid()) != 0) {
        return 126;
      }
    }
    return fn();
  });
}

pid_t KeepTouching(const std::string& path, int ahead_s, int every_ms) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  for (;;) {
    struct timespec times[2];
    ::clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec += ahead_s;
    times[1] = times[0];
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    ::usleep(static_cast<useconds_t>(every_ms) * 1000);
  }
}

int RunWithTmpfs(const std::string& mount_dir, const std::string& size, const std::function<int()>& fn) {
  return RunInChild([&] {
    ::alarm(60);
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", mount_dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) {
      return kMountRefused;
    }
    return fn();
  });
}

}  // namespace qvtest
