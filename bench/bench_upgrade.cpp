// A first install through the installed launcher against `cp -a SRC DST && sync` of the
// same tree: what a user would otherwise do to get a private copy onto the disk. The
// build is installed into a scratch folder, a package of many files is generated into
// it, and each tool runs three times, alternately, on a quiet disk; the medians and
// their ratio are printed. Nothing is removed before the end: a file system that has
// just freed thousands of inodes makes the next creations slow, whoever does them. The launcher's time runs from its start to its exit, so it
// includes start-up, the dialog, the free-space walk, the flush and starting the client.
//
//   bench_upgrade [files [megabytes [work-folder]]]   defaults: 5000 files, 320 MB, $TMPDIR
#include <signal.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string Q(const std::string& s) { return "'" + s + "'"; }

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Mostly small files with a few large ones, spread over nested folders, summing to
// about `bytes`.
bool MakeTree(const std::string& root, int files, long long bytes) {
  std::mt19937_64 gen(7);
  std::vector<long long> sizes(static_cast<size_t>(files));
  long long total = 0;
  for (int i = 0; i < files; ++i) {
    sizes[static_cast<size_t>(i)] = (i % 100 == 0) ? 2 * 1024 * 1024 : static_cast<long long>(gen() % 60000);
    total += sizes[static_cast<size_t>(i)];
  }
  std::string block(1 << 20, '\0');
  for (char& c : block) c = static_cast<char>(gen());
  for (int i = 0; i < files; ++i) {
    const long long size = sizes[static_cast<size_t>(i)] * bytes / total;
    const std::string folder = root + "/d" + std::to_string(i % 30) + "/s" + std::to_string(i % 11);
    if (!Run("mkdir -p " + Q(folder))) return false;
    std::ofstream out(folder + "/f" + std::to_string(i), std::ios::binary);
    for (long long left = size; left > 0; left -= static_cast<long long>(block.size())) {
      block[static_cast<size_t>(i) % block.size()] ^= 1;  // no two files alike
      out.write(block.data(), static_cast<std::streamsize>(std::min<long long>(left, static_cast<long long>(block.size()))));
    }
    if (!out) return false;
  }
  return true;
}

// Runs the installed launcher for a first install into home; seconds, or -1.
double TimeLauncher(const std::string& install, const std::string& home) {
  if (!Run("mkdir -p " + Q(home + "/run") + " && chmod 700 " + Q(home + "/run"))) return -1;
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", (home + "/run").c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const std::string program = install + "/bin/launcher";
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const double start = Now();
  pid_t pid = -1;
  int status = 0;
  const bool ok = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ) == 0 &&
                  ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  const double took = Now() - start;
  posix_spawn_file_actions_destroy(&actions);
  // The client it started is stopped outside the timing.
  std::ifstream pid_file(home + "/.QuenvaleDrive/ui.pid");
  std::string line;
  if (std::getline(pid_file, line) && line.rfind("pid=", 0) == 0) ::kill(std::atoi(line.c_str() + 4), SIGTERM);
  return ok ? took : -1;
}

double TimeCopy(const std::string& src, const std::string& dst) {
  const double start = Now();
  const bool ok = Run("cp -a " + Q(src) + " " + Q(dst) + " && sync");
  return ok ? Now() - start : -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 5000;
  const long long megabytes = argc > 2 ? std::atoll(argv[2]) : 320;
  const char* tmp = std::getenv("TMPDIR");
  const std::string base = argc > 3 ? argv[3] : std::string(tmp && *tmp ? tmp : "/tmp");
  if (files <= 0 || megabytes <= 0) {
    std::fprintf(stderr, "usage: bench_upgrade [files [megabytes [work-folder]]]\n");
    return 2;
  }
  char templ[4096];
  std::snprintf(templ, sizeof templ, "%s/bench-upgrade-XXXXXX", base.c_str());
  if (::mkdtemp(templ) == nullptr) return 1;
  const std::string work = templ;
  const std::string install = work + "/install";
  const std::string package = install + "/package/skylodge";
  if (!Run(Q(QV_CMAKE_COMMAND) + " --install " + Q(QV_BINARY_DIR) + " --prefix " + Q(install) + " >/dev/null") ||
      !MakeTree(package + "/data", files, megabytes * 1000 * 1000)) {
    std::fprintf(stderr, "bench_upgrade: could not set up %s\n", work.c_str());
    return 1;
  }

  std::vector<double> ours, theirs;
  bool same = true;
  for (int run = 0; run < 3; ++run) {
    const std::string home = work + "/home" + std::to_string(run);
    const std::string copy = work + "/cp" + std::to_string(run);
    // Each tool starts on a quiet disk, alternately first.
    Run("sync");
    if (run % 2 == 0) {
      ours.push_back(TimeLauncher(install, home));
      Run("sync");
      theirs.push_back(TimeCopy(package, copy));
    } else {
      theirs.push_back(TimeCopy(package, copy));
      Run("sync");
      ours.push_back(TimeLauncher(install, home));
    }
    same = same && Run("diff -r " + Q(package) + " " + Q(home + "/.QuenvaleDrive/QuenvaleDrive.app") + " >/dev/null");
    std::printf("run %d: launcher %.3f s, cp -a && sync %.3f s\n", run + 1, ours.back(), theirs.back());
  }
  const bool ok = same && *std::min_element(ours.begin(), ours.end()) > 0 &&
                  *std::min_element(theirs.begin(), theirs.end()) > 0;
  std::printf("tree:                          %d files, %lld MB\n", files + 3, megabytes);
  std::printf("first install, launcher:       %.3f s (median of 3)\n", Median(ours));
  std::printf("cp -a && sync:                 %.3f s (median of 3)\n", Median(theirs));
  std::printf("ratio launcher / cp -a + sync: %.2f%s\n", Median(ours) / Median(theirs), ok ? "" : " (A RUN FAILED)");
  Run("rm -rf " + Q(work));
  return ok ? 0 : 1;
}
