// What the check of the user's copy costs. A start with nothing to do (the client runs,
// the copy is current) through the installed launcher, against a bare Qt application
// that starts and quits on the same platform: ten pairs in turns, their medians and
// ratio. Then the check alone, in this process: on the sample package's copy with a
// warm cache, and on a copy of a package of many files with the cache dropped before
// each run (as root; elsewhere it says that the cache stayed warm).
//
//   bench_start [files [work-folder]]   defaults: 5000 files, $TMPDIR
//   bench_start --bare                  the bare Qt application
//   bench_start --bare-no-teardown      the same, ending with _exit as the launcher does
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "linux/copy-check.h"

extern char** environ;

namespace {

std::string Q(const std::string& s) { return "'" + s + "'"; }

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Runs program to its end with its output dropped; seconds, or -1 when it failed.
double Time(const std::string& program, const std::string& arg) {
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  if (!arg.empty()) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const double start = Now();
  pid_t pid = -1;
  int status = 0;
  const bool ok = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0 &&
                  ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  posix_spawn_file_actions_destroy(&actions);
  return ok ? Now() - start : -1;
}

// Milliseconds of one check of copy against package.
double TimeCheck(const std::string& package, const std::string& copy, bool* same) {
  const double start = Now();
  const CopyCheck check = CheckCopy(ustring(package), ustring(copy));
  const double took = (Now() - start) * 1000;
  *same = *same && check.Same();
  return took;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "--bare") == 0 || std::strcmp(argv[1], "--bare-no-teardown") == 0)) {
    QApplication app(argc, argv);
    QTimer::singleShot(0, &app, &QApplication::quit);
    const int rc = app.exec();
    if (argv[1][6] != '\0') ::_exit(rc);  // ends as the launcher does
    return rc;
  }
  const int files = argc > 1 ? std::atoi(argv[1]) : 5000;
  const char* tmp = std::getenv("TMPDIR");
  const std::string base = argc > 2 ? argv[2] : std::string(tmp && *tmp ? tmp : "/tmp");
  char templ[4096];
  std::snprintf(templ, sizeof templ, "%s/bench-start-XXXXXX", base.c_str());
  if (files <= 0 || ::mkdtemp(templ) == nullptr) return 2;
  const std::string work = templ;
  const std::string install = work + "/install";
  const std::string home = work + "/home";
  if (!Run(Q(QV_CMAKE_COMMAND) + " --install " + Q(QV_BINARY_DIR) + " --prefix " + Q(install) + " >/dev/null") ||
      !Run("mkdir -p " + Q(home + "/run") + " && chmod 700 " + Q(home + "/run"))) {
    std::fprintf(stderr, "bench_start: could not set up %s\n", work.c_str());
    return 1;
  }
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", (home + "/run").c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string launcher = install + "/bin/launcher";
  bool ok = Time(launcher, "") > 0;  // the first install; its client runs from now on

  std::vector<double> starts, bares, quick_bares;
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  const std::string bare = n > 0 ? std::string(self, static_cast<size_t>(n)) : argv[0];
  for (int pair = 0; pair < 10; ++pair) {
    if (pair % 2 == 0) starts.push_back(Time(launcher, ""));
    bares.push_back(Time(bare, "--bare"));
    quick_bares.push_back(Time(bare, "--bare-no-teardown"));
    if (pair % 2 == 1) starts.push_back(Time(launcher, ""));
  }
  ok = ok && *std::min_element(starts.begin(), starts.end()) > 0 && *std::min_element(bares.begin(), bares.end()) > 0 &&
       *std::min_element(quick_bares.begin(), quick_bares.end()) > 0;

  const std::string copy = home + "/.QuenvaleDrive/QuenvaleDrive.app";
  bool same = true;
  std::vector<double> sample;
  for (int i = 0; i < 10; ++i) sample.push_back(TimeCheck(install + "/package/skylodge", copy, &same));

  // A package of many small files in nested folders, and its copy.
  const std::string many = work + "/many";
  ok = ok && Run("mkdir -p " + Q(many) + " && cd " + Q(many) + " && i=0; while [ $i -lt " + std::to_string(files) +
                 " ]; do d=d$((i % 40))/s$((i % 7)); mkdir -p $d && echo $i > $d/f$i; i=$((i + 1)); done") &&
       Run("cp -a " + Q(many) + " " + Q(work + "/many-copy"));
  bool cold = true;
  std::vector<double> big;
  for (int i = 0; i < 3 && ok; ++i) {
    cold = cold && Run("sync && echo 3 > /proc/sys/vm/drop_caches 2>/dev/null");
    big.push_back(TimeCheck(many, work + "/many-copy", &same));
  }
  {
    std::ifstream pid_file(home + "/.QuenvaleDrive/ui.pid");
    std::string line;
    if (std::getline(pid_file, line) && line.rfind("pid=", 0) == 0) ::kill(std::atoi(line.c_str() + 4), SIGTERM);
  }
  ok = ok && same;
  std::printf("start with nothing to do:   %.1f ms (median of 10)\n", Median(starts) * 1000);
  std::printf("bare Qt application:        %.1f ms (median of 10)\n", Median(bares) * 1000);
  std::printf("ratio start / bare Qt:      %.2f\n", Median(starts) / Median(bares));
  // The launcher skips Qt's teardown; against a bare application that skips it too, what
  // is left is the launcher's own work.
  std::printf("bare Qt, no teardown:       %.1f ms (median of 10), ratio %.2f\n", Median(quick_bares) * 1000,
              Median(starts) / Median(quick_bares));
  std::printf("check, sample package:      %.2f ms (median of 10, warm cache)\n", Median(sample));
  std::printf("check, %d files:          %.1f ms (median of 3, %s)%s\n", files, Median(big),
              cold ? "cache dropped before each" : "CACHE NOT DROPPED: not allowed here", ok ? "" : " (A RUN FAILED)");
  Run("rm -rf " + Q(work));
  return ok ? 0 : 1;
}
