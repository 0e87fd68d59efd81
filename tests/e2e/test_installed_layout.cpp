// What `cmake --install` lays out for the launcher, and the sample client package that
// the end-to-end runs rely on.
#include <sys/stat.h>
#include <unistd.h>

#include <QSettings>
#include <string>
#include <utility>

#include "config.h"
#include "e2e_env.h"
#include "test_env.h"

namespace e2e {
namespace {

bool IsFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

class InstalledLayout : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    root_ = InstallTree();
  }
  std::string root_;
};

TEST_F(InstalledLayout, HoldsWhatTheLauncherLoadsBesideItself) {
  EXPECT_EQ(::access((root_ + "/bin/launcher").c_str(), X_OK), 0);
  EXPECT_TRUE(IsFile(root_ + "/lib/libfct-qt.so.1"));
  for (const char* plugin : {"platforms/libqxcb.so", "platforms/libqoffscreen.so",
                             "xcbglintegrations/libqxcb-glx-integration.so", "platforms/libqwayland-egl.so",
                             "wayland-shell-integration/libxdg-shell.so",
                             "wayland-decoration-client/libbradient.so"}) {
    EXPECT_TRUE(IsFile(root_ + "/lib/plugins/" + plugin)) << plugin;
  }

  // The launcher finds our library through its run path, not through the system.
  std::string ldd = qvtest::ShellOutput("ldd '" + root_ + "/bin/launcher'");
  std::string found = qvtest::ShellOutput(
      "ldd '" + root_ + "/bin/launcher' | sed -n 's/^.*libfct-qt.so.1 => \\(.*\\) (0x.*$/\\1/p'"
      " | xargs -r realpath -s");
  EXPECT_EQ(found, root_ + "/lib/libfct-qt.so.1\n") << ldd;
  EXPECT_EQ(ldd.find("not found"), std::string::npos) << ldd;

  // libarchive and Qt's D-Bus, which a start with nothing to do does without, only
  // through the modules beside libfct-qt, which find what they need.
  const std::string needed = qvtest::ShellOutput("readelf -d '" + root_ + "/bin/launcher' | grep NEEDED");
  EXPECT_EQ(needed.find("libarchive"), std::string::npos) << needed;
  EXPECT_EQ(needed.find("libQt5DBus"), std::string::npos) << needed;
  for (const auto& [module, library] : {std::pair{"libquenvale-archive.so", "libarchive.so.13 => /"},
                                        std::pair{"libquenvale-notify.so", "libQt5DBus.so.5 => /"}}) {
    const std::string loads = qvtest::ShellOutput("ldd '" + root_ + "/lib/" + module + "'");
    EXPECT_NE(loads.find(library), std::string::npos) << loads;
    EXPECT_EQ(loads.find("not found"), std::string::npos) << loads;
  }

  // A 72x72 PNG: signature, then the IHDR chunk with width and height.
  std::string icon = qvtest::ReadFile(root_ + "/images/ico_72_sky_lodge.png");
  ASSERT_GE(icon.size(), 24u);
  EXPECT_EQ(icon.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(icon.substr(12, 4), "IHDR");
  EXPECT_EQ(icon.substr(16, 8), std::string("\0\0\0\x48\0\0\0\x48", 8));
}

// The menu entry, its icons and the metainfo, where desktops look under a prefix; the
// login entry where session managers do; the systemd user units under lib, the service
// naming this prefix's launcher, and both as systemd's checker wants them (the manual
// page they name is not where man looks, so that check is left out).
TEST_F(InstalledLayout, InstallsTheDesktopFilesUnderShareTheLoginEntryUnderEtcAndTheUnitsUnderLib) {
  EXPECT_EQ(qvtest::ShellOutput("cd '" + root_ + "/share' && find . -type f | sort"),
            "./applications/quenvale-drive.desktop\n"
            "./icons/hicolor/128x128/apps/quenvale-drive.png\n"
            "./icons/hicolor/256x256/apps/quenvale-drive.png\n"
            "./icons/hicolor/48x48/apps/quenvale-drive.png\n"
            "./icons/hicolor/64x64/apps/quenvale-drive.png\n"
            "./icons/hicolor/scalable/apps/quenvale-drive.svg\n"
            "./metainfo/com.quenvale.drive.metainfo.xml\n");
  EXPECT_EQ(qvtest::ShellOutput("cd '" + root_ + "/etc' && find . -type f | sort"),
            "./xdg/autostart/quenvale-drive.desktop\n");

  const std::string units = root_ + "/lib/systemd/user/";
  EXPECT_EQ(qvtest::ShellOutput("cd '" + units + "' && find . -type f | sort"),
            "./quenvale-drive-upgrade.path\n./quenvale-drive-upgrade.service\n");
  EXPECT_NE(qvtest::ReadFile(units + "quenvale-drive-upgrade.service")
                .find("\nExecStart=" + root_ + "/bin/launcher --upgrade-running\n"),
            std::string::npos);
  const std::string out = qvtest::MakeTempDir("verify") + "/out";
  EXPECT_EQ(qvtest::Shell("systemd-analyze --user --man=no verify '" + units + "quenvale-drive-upgrade.path' '" + units +
                          "quenvale-drive-upgrade.service' >'" + out + "' 2>&1"),
            0)
      << qvtest::ReadFile(out);
  EXPECT_EQ(qvtest::ReadFile(out), "");
}

TEST_F(InstalledLayout, LevelFileSetsEveryComponentToWarnings) {
  // Read with the logger's own reader: one bad line would make it ignore the whole file.
  Config levels;
  ASSERT_EQ(levels.read(root_ + "/log/launcher.debug"), 0);
  EXPECT_EQ(levels.size(), 5u);
  for (const char* c : {"launcher_debug", "service_debug", "extractor_debug", "file_op_debug",
                        "default_component"}) {
    EXPECT_EQ(levels[c], "4") << c;
  }

  // So a clean first install, which warns about nothing, leaves an empty log.
  const Home& home = AddHome("home");
  LaunchResult r = RunLauncher(SpecFor(root_, home));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(IsFile(UserFolder(home.path) + "/log/launcher.log"));
  EXPECT_EQ(qvtest::ReadFile(UserFolder(home.path) + "/log/launcher.log"), "");
  EXPECT_EQ(BuildOf(AppFolder(home.path) + "/INFO"), QV_SAMPLE_BUILD);
}

TEST_F(InstalledLayout, SamplePackageTreeArchiveAndVersionsAgree) {
  for (const std::string& info : {root_ + "/INFO", root_ + "/package/skylodge/INFO"}) {
    QSettings settings(QString::fromStdString(info), QSettings::IniFormat);
    EXPECT_EQ(settings.status(), QSettings::NoError) << info;
    settings.beginGroup("Version");
    EXPECT_EQ(settings.value("build_version").toString().toStdString(), QV_SAMPLE_BUILD) << info;
    for (const char* key : {"major_version", "minor_version", "icon_overlay_version"}) {
      EXPECT_TRUE(settings.contains(key)) << info << " " << key;
    }
  }

  // The archive unpacks to the very tree that is copied.
  const std::string unpacked = qvtest::MakeTempDir("unpacked");
  ASSERT_EQ(qvtest::Shell("bsdtar -xpf '" + root_ + "/package/skylodge.qvx' -C '" + unpacked + "'"),
            0);
  EXPECT_EQ(qvtest::Shell("diff -r '" + unpacked + "' '" + root_ + "/package/skylodge'"), 0);
  EXPECT_EQ(qvtest::ShellOutput("cd '" + unpacked + "' && find . -type f -printf '%p %m\\n' | sort"),
            "./INFO 644\n./bin/cloud-drive-ui 755\n./package/start-stop 755\n");
}

// The sample client as the launcher uses it: started and stopped through its script,
// found through its pid file.
TEST_F(InstalledLayout, SampleClientRunsOncePerUserAndStopsOnRequest) {
  const Home& home = AddHome("home");
  const std::string app = AppFolder(home.path);
  ASSERT_EQ(qvtest::Shell("mkdir -p '" + UserFolder(home.path) + "' && cp -a '" + root_ +
                          "/package/skylodge' '" + app + "'"),
            0);
  const std::string script = "HOME='" + home.path + "' '" + app + "/package/start-stop' ";

  ASSERT_EQ(qvtest::Shell(script + "start"), 0);
  pid_t pid = ClientPid(home.path);
  ASSERT_TRUE(IsClientAlive(pid));
  EXPECT_EQ(qvtest::ReadFile(UserFolder(home.path) + "/ui.pid"), "pid=" + std::to_string(pid) + "\n");
  // Detached: a session of its own, so closing the starter's terminal leaves it running.
  EXPECT_EQ(::getsid(pid), pid);

  // Starting again while it runs keeps the one client.
  ASSERT_EQ(qvtest::Shell(script + "start"), 0);
  EXPECT_EQ(ClientPid(home.path), pid);
  EXPECT_EQ(qvtest::ShellOutput(script + "status"), std::to_string(pid) + "\n");

  // SIGTERM, as the launcher sends it: the client removes its pid file and ends.
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  for (int i = 0; i < 500 && IsClientAlive(pid); ++i) {
    ReapEnded();
    ::usleep(10000);
  }
  EXPECT_FALSE(IsClientAlive(pid));
  EXPECT_FALSE(IsFile(UserFolder(home.path) + "/ui.pid"));

  // A pid file left by a killed client does not keep a new one from starting.
  ASSERT_EQ(qvtest::Shell(script + "start"), 0);
  pid_t killed = ClientPid(home.path);
  ASSERT_TRUE(IsClientAlive(killed));
  ASSERT_EQ(::kill(killed, SIGKILL), 0);
  for (int i = 0; i < 500 && IsClientAlive(killed); ++i) ::usleep(10000);
  ReapEnded();
  ASSERT_EQ(qvtest::Shell(script + "start"), 0);
  pid_t fresh = ClientPid(home.path);
  EXPECT_TRUE(IsClientAlive(fresh));
  EXPECT_NE(fresh, killed);

  ASSERT_EQ(qvtest::Shell(script + "stop"), 0);
  EXPECT_FALSE(IsClientAlive(fresh));
  EXPECT_FALSE(IsFile(UserFolder(home.path) + "/ui.pid"));
  EXPECT_NE(qvtest::Shell(script + "status"), 0);
}

}  // namespace
}  // namespace e2e
