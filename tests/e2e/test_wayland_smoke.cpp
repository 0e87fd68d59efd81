// One run of the installed launcher in a Wayland session without X11: a headless weston
// of the test's own, WAYLAND_DISPLAY set, neither DISPLAY nor QT_QPA_PLATFORM. The
// installed Wayland plug-ins load, the dialog opens as a Wayland window, and the install
// completes.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "e2e_env.h"
#include "test_env.h"
#include "build_paths.h"

namespace e2e {
namespace {

class WaylandSmoke : public E2eTest {
 protected:
  // Starts a headless weston serving `socket` in `runtime_dir`; returns once the socket
  // is there, or false after 20 s.
  bool StartCompositor(const std::string& runtime_dir, const std::string& socket) {
    log_ = qvtest::MakeTempDir("weston") + "/weston.log";
    const pid_t compositor = ::fork();
    if (compositor == 0) {
      ::setenv("XDG_RUNTIME_DIR", runtime_dir.c_str(), 1);
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive a test killed by its time limit
      ::execl(QV_WESTON.c_str(), "weston", "--backend=headless-backend.so", "--no-config", "--idle-time=0",
              ("--socket=" + socket).c_str(), ("--log=" + log_).c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (compositor > 0) servers_.push_back(compositor);
    const std::string path = runtime_dir + "/" + socket;
    struct stat st;
    for (int i = 0; i < 2000; ++i) {
      if (::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return true;
      if (::waitpid(compositor, nullptr, WNOHANG) == compositor) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::string log_;
};

TEST_F(WaylandSmoke, InstallsAndStartsTheClientInAWaylandWindow) {
  const std::string root = InstallTree();
  SetAllLevels(root, 7);
  const Home& home = AddHome("home");
  ASSERT_TRUE(StartCompositor(home.path + "/.run", "wayland-qv"))
      << "weston did not start:\n" << qvtest::ReadFile(log_);

  LaunchOptions options = SpecFor(root, home);
  options.env["QT_QPA_PLATFORM"] = std::nullopt;
  options.env["DISPLAY"] = std::nullopt;
  options.env["WAYLAND_DISPLAY"] = std::string("wayland-qv");
  LaunchResult r = RunLauncher(options);

  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0) << "signal " << r.term_signal << "\nstderr:\n" << r.err;
  std::vector<LogLine> log = ReadLog(home.path);
  EXPECT_TRUE(InOrder(log, {{"DEBUG", "platform = wayland"},
                            {"INFO", "user installation is ready, removing backup app"},
                            {"DEBUG", "done"}}));
  for (const LogLine& line : log) EXPECT_NE(line.tag, "WARNING") << line.raw;
  EXPECT_EQ(BuildOf(AppFolder(home.path) + "/INFO"), QV_SAMPLE_BUILD);
  EXPECT_TRUE(IsClientAlive(ClientPid(home.path)));
  // The process ends before Qt's teardown; the single-instance lock goes with it all the
  // same.
  EXPECT_NE(::access((home.path + "/.run/launcher.single.lock").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace e2e
