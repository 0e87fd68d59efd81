// One run of the installed launcher on the X11 platform, against an Xvfb server of the
// test's own: the installed xcb plug-in loads, the dialog is created on a real X server,
// its bar climbs while a package of three gigabytes is copied, and the install
// completes. And what a screen reader hears of that dialog through AT-SPI.
#include <sys/statvfs.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

#include "e2e_env.h"
#include "test_env.h"

namespace e2e {
namespace {

using XvfbSmoke = E2eTest;

TEST_F(XvfbSmoke, InstallsAndStartsTheClientOnAnX11Display) {
  const std::string root = InstallTree();
  SetAllLevels(root, 7);
  // 3 GiB of package data, written for real (not sparse), when the disk has room for it
  // and its copy: on a fast disk a single gigabyte is copied in a few tenths of a second.
  struct statvfs fs;
  const bool big = ::statvfs(root.c_str(), &fs) == 0 &&
                   static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize > (8ull << 30);
  if (big) {
    ASSERT_EQ(qvtest::Shell("mkdir -p '" + root + "/package/skylodge/big' && for i in $(seq 1 48); do "
                            "head -c 64M /dev/zero > '" + root + "/package/skylodge/big/f'$i || exit 1; done"),
              0);
  } else {
    std::printf("less than 8 GiB free: the bar is not watched over a long copy\n");
  }
  const std::string display = StartXvfb();
  ASSERT_FALSE(display.empty()) << "Xvfb did not start";

  const Home& home = AddHome("home");
  LaunchOptions options = SpecFor(root, home);
  options.env["QT_QPA_PLATFORM"] = std::string("xcb");
  options.env["DISPLAY"] = display;
  options.env["XAUTHORITY"] = std::nullopt;
  // The X11 platform's keyboard set-up (libxkbcommon-x11) hands strndup names that are
  // not NUL-terminated within their buffer; ASan's strict string checks flag that
  // library, not us, so they are relaxed for this run only.
  if (const char* asan = std::getenv("ASAN_OPTIONS")) {
    options.env["ASAN_OPTIONS"] = std::string(asan) + ":strict_string_checks=0";
    // The GLX integration loads Mesa's software driver, which keeps a buffer that LSan
    // reports once libGL has unloaded the driver at exit, in a module that no
    // suppression can name any more. The dialog paints without GL, so none is loaded.
    options.env["QT_XCB_GL_INTEGRATION"] = std::string("none");
  }
  // It also opens a session-bus client whose buffers libdbus keeps for the life of the
  // process. LSan takes one suppressions file, so the project's list is extended here.
  std::string lsan = std::getenv("LSAN_OPTIONS") ? std::getenv("LSAN_OPTIONS") : "";
  std::string suppressions = "leak:libdbus-1.so\n";
  size_t at = lsan.find("suppressions=");
  if (at != std::string::npos) {
    size_t end = lsan.find(':', at);
    suppressions += qvtest::ReadFile(lsan.substr(at + 13, end == std::string::npos ? end : end - at - 13));
  }
  const std::string supp_file = qvtest::MakeTempDir("lsan") + "/x11.supp";
  ASSERT_TRUE(qvtest::WriteFile(supp_file, suppressions));
  options.env["LSAN_OPTIONS"] = lsan + (lsan.empty() ? "" : ":") + "suppressions=" + supp_file;
  // The copy is the disk's: at no less than 5 MB/s, as on a disk that other builds share.
  LaunchResult r = RunLauncher(options, big ? 640000 : 300000);

  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0) << "signal " << r.term_signal << "\nstderr:\n" << r.err;
  EXPECT_EQ(BuildOf(AppFolder(home.path) + "/INFO"), QV_SAMPLE_BUILD);
  EXPECT_TRUE(IsClientAlive(ClientPid(home.path)));
  std::vector<LogLine> log = ReadLog(home.path);
  EXPECT_TRUE(InOrder(log, {{"INFO", "user installation is ready, removing backup app"},
                            {"DEBUG", "done"}}));
  std::set<std::string> shown;
  for (const LogLine& l : log) {
    if (l.message.rfind("progress ", 0) == 0 && l.message != "progress 100%") shown.insert(l.message);
  }
  if (big) {
    std::printf("the bar showed %zu values below 100 %% during the copy\n", shown.size());
    EXPECT_GE(shown.size(), 10u) << "the bar did not move during the copy";
  }
  EXPECT_TRUE(HasMessage(log, "progress 100%"));
}

// On a private session bus with the accessibility bus and registry, a first install's
// dialog is found under the product's name, with its title, its label and a bar named by
// that label, whose value moves during the copy: strace holds up each file copy (sixty
// files of 256 KiB besides the client's), so the copy lasts for two reads on any machine.
TEST_F(XvfbSmoke, AScreenReaderFollowsTheDialogOfAFirstInstall) {
  const std::string root = InstallTree(), dir = qvtest::MakeTempDir("atspi"), display = StartXvfb();
  ASSERT_EQ(qvtest::Shell("mkdir '" + root + "/package/skylodge/big' && for i in $(seq 60); do "
                          "head -c 256K /dev/urandom >'" + root + "/package/skylodge/big/f'$i; done"), 0);
  const std::string bus = StartNotifyBus(dir + "/bus", "none"), product = "Quenvale Drive Client";
  ASSERT_TRUE(!display.empty() && !bus.empty() && StartAtspiReader(bus, display, product, dir + "/heard"));

  const Home& home = AddHome("home");
  LaunchOptions options = SpecFor(root, home);
  options.wrapper = {"strace", "-f", "-b", "execve", "-qq", "-o", "/dev/null", "-e", "trace=copy_file_range",
                     "-e", "inject=copy_file_range:delay_enter=100000"};
  for (const auto& [key, value] : decltype(options.env){{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", display},
                                                        {"XAUTHORITY", std::nullopt}, {"DBUS_SESSION_BUS_ADDRESS", bus},
                                                        {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1"}}) {
    options.env[key] = value;
  }
  const LaunchResult r = RunLauncher(options);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(BuildOf(AppFolder(home.path) + "/INFO"), QV_SAMPLE_BUILD);

  const std::string heard = "\n" + qvtest::ReadFile(dir + "/heard");
  const std::string label = product + " is initializing...";
  EXPECT_EQ(heard.find("\napp launcher\n"), std::string::npos) << heard;
  for (const std::string& want : {"app " + product, "dialog " + product, "label " + label, "bar " + label}) {
    EXPECT_NE(heard.find("\n" + want + "\n"), std::string::npos) << want << heard;
  }
  // Two differing reads before the copy is done (the bar's 100 comes after it).
  std::set<std::string> during;
  std::istringstream lines(heard);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("value ", 0) == 0 && line != "value 100") during.insert(line);
  }
  EXPECT_GE(during.size(), 2u) << heard;
}

}  // namespace
}  // namespace e2e
