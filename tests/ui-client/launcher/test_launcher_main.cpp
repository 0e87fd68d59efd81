// Start-up: the steps of main in-process. What only a whole process shows (second
// instance, no display, plug-in folder) is tested on the installed launcher in tests/e2e.
#include <sys/stat.h>

#include <QDir>

#include "launcher_test_util.h"
#include "log_lines.h"
#include "test_env.h"

using launchertest::Str;

namespace {

// Saves and restores the environment variables a test changes.
class EnvScope {
 public:
  explicit EnvScope(std::initializer_list<const char*> names) {
    for (const char* n : names) saved_.push_back({n, qEnvironmentVariableIsSet(n), qgetenv(n)});
  }
  ~EnvScope() {
    for (const auto& s : saved_) {
      if (s.was_set)
        qputenv(s.name, s.value);
      else
        qunsetenv(s.name);
    }
  }

 private:
  struct Saved {
    const char* name;
    bool was_set;
    QByteArray value;
  };
  std::vector<Saved> saved_;
};

QString Path(const char* key) { return UIPathManager::getInstance()->getPath(QString::fromLatin1(key)); }

}  // namespace

TEST(StartUp, PluginFolderComesFromTheExecutableWhateverTheProgramPathSays) {
  const QStringList saved = QCoreApplication::libraryPaths();
  const QString expected = QDir::cleanPath(QCoreApplication::applicationDirPath() + "/../lib/plugins");
  for (const char* program : {"/opt/x/bin/launcher", "launcher", "../bin/launcher", ""}) {
    initialize_resources(program);
    EXPECT_EQ(QCoreApplication::libraryPaths(), QStringList{expected}) << program;
  }
  QCoreApplication::setLibraryPaths(saved);
}

// Which platforms Qt is told to try: the session's own first, X11 before Wayland when
// both are there, offscreen last; a user's choice is kept and only gets the fallback.
TEST(StartUp, PlatformOrderFollowsTheSession) {
  EnvScope env({"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"});
  struct Case {
    const char* user;  // nullptr: unset
    const char* display;
    const char* wayland;
    const char* tried;
  } const cases[] = {
      {nullptr, ":0", nullptr, "xcb;offscreen"},
      {nullptr, ":0", "wayland-0", "xcb;wayland;offscreen"},
      {nullptr, nullptr, "wayland-0", "wayland;offscreen"},
      {"", "", "", "offscreen"},
      {nullptr, nullptr, nullptr, "offscreen"},
      {"wayland", ":0", nullptr, "wayland;offscreen"},
      {"xcb;offscreen", ":0", nullptr, "xcb;offscreen"},
  };
  for (const Case& c : cases) {
    const auto put = [](const char* name, const char* value) {
      if (value != nullptr)
        qputenv(name, value);
      else
        qunsetenv(name);
    };
    put("QT_QPA_PLATFORM", c.user);
    put("DISPLAY", c.display);
    put("WAYLAND_DISPLAY", c.wayland);
    const PlatformChoice choice = AllowOffscreenFallback();
    EXPECT_EQ(qgetenv("QT_QPA_PLATFORM"), QByteArray(c.tried)) << c.tried;
    RestorePlatformVariable(choice);
    EXPECT_EQ(qEnvironmentVariableIsSet("QT_QPA_PLATFORM"), c.user != nullptr) << c.tried;
    EXPECT_EQ(qgetenv("QT_QPA_PLATFORM"), QByteArray(c.user)) << c.tried;
  }
}

TEST(StartUp, PathTableHoldsTheNineCleanedKeys) {
  EnvScope env({"HOME", "XDG_CURRENT_DESKTOP", "XDG_DATA_HOME"});
  const std::string home = qvtest::MakeTempDir("home");
  qputenv("HOME", QByteArray::fromStdString(home + "//./"));
  qunsetenv("XDG_CURRENT_DESKTOP");
  initializeDrivePaths();

  const QString h = QString::fromStdString(home);
  EXPECT_EQ(Str(Path("user_quenvale_drive_path")), Str(h + "/.QuenvaleDrive"));
  EXPECT_EQ(Str(Path("user_quenvale_drive_app_path")), Str(h + "/.QuenvaleDrive/QuenvaleDrive.app"));
  EXPECT_EQ(Path("user_quenvale_drive_resource_path"), Path("user_quenvale_drive_app_path"));
  EXPECT_EQ(Str(Path("user_quenvale_drive_data_path")), Str(h + "/.QuenvaleDrive/data"));
  EXPECT_EQ(Str(Path("user_quenvale_drive_working_dir_path")), Str(h + "/.QuenvaleDrive/QuenvaleDrive.app/bin"));
  EXPECT_EQ(Str(Path("user_quenvale_drive_ui_path")),
            Str(h + "/.QuenvaleDrive/QuenvaleDrive.app/bin/cloud-drive-ui"));
  EXPECT_EQ(Str(Path("user_sky_lodge_path")), Str(h + "/.Skylodge"));
  EXPECT_EQ(Str(Path("user_sky_lodge_resource_path")), Str(h + "/.Skylodge/Skylodge.app"));
  EXPECT_EQ(Str(Path("root_resource_path")), Str(QFileInfo(QCoreApplication::applicationDirPath() + "/..").absoluteFilePath()));
  // Nothing is created on disk.
  EXPECT_FALSE(QFileInfo::exists(h + "/.QuenvaleDrive"));

  // On that one desktop the data folder is the base, and it is cleaned too.
  const std::string data = qvtest::MakeTempDir("data");
  qputenv("XDG_CURRENT_DESKTOP", "Deepin");
  qputenv("XDG_DATA_HOME", QByteArray::fromStdString(data + "/sub/../"));
  initializeDrivePaths();
  EXPECT_EQ(Str(Path("user_quenvale_drive_path")), data + "/.QuenvaleDrive");
  EXPECT_EQ(Str(Path("user_sky_lodge_resource_path")), data + "/.Skylodge/Skylodge.app");
}

TEST(StartUp, LoggerWritesTheSevenPathLinesIntoTheUsersLogFolder) {
  EnvScope env({"HOME", "XDG_CURRENT_DESKTOP"});
  const std::string home = qvtest::MakeTempDir("home");
  const std::string root = qvtest::MakeTempDir("root");
  qputenv("HOME", QByteArray::fromStdString(home));
  qunsetenv("XDG_CURRENT_DESKTOP");
  initializeDrivePaths();
  UIPathManager::getInstance()->setPath("root_resource_path", QString::fromStdString(root));
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(root + "/log")));
  ASSERT_TRUE(qvtest::WriteFile(root + "/log/launcher.debug", "launcher_debug=6\n"));

  initialize_logger();
  std::vector<std::string> messages;
  for (const qvtest::LogLine& l : qvtest::ReadLogLines(home + "/.QuenvaleDrive/log/launcher.log")) {
    ASSERT_TRUE(l.tag == "INFO" && l.file == "main.cpp") << l.raw;
    messages.push_back(l.message);
  }
  EXPECT_EQ(messages, (std::vector<std::string>{
                          ">>> user_sky_lodge_path = " + home + "/.Skylodge",
                          ">>> user_sky_lodge_app_path = ",
                          ">>> user_sky_lodge_resource_path = " + home + "/.Skylodge/Skylodge.app",
                          ">>> user_sky_lodge_data_path = ",
                          ">>> user_sky_lodge_working_dir_path = ",
                          ">>> user_sky_lodge_drive_ui_path = ",
                          ">>> root_resource_path = " + root,
                      }));
}

TEST(StartUp, UnwritableHomeLeavesNoLogAndDoesNotStop) {
  const std::string home = qvtest::MakeTempDir("home");
  ASSERT_EQ(::chmod(home.c_str(), 0555), 0);
  ASSERT_EQ(::chmod(qvtest::SandboxRoot().c_str(), 0755), 0);
  const int rc = qvtest::RunUnprivileged([&home] {
    qputenv("HOME", QByteArray::fromStdString(home));
    initializeDrivePaths();
    initialize_logger();
    QVLOG_ERR("launcher_debug", "must go nowhere\n");
    return QFileInfo::exists(QString::fromStdString(home + "/.QuenvaleDrive")) ? 1 : 0;
  });
  EXPECT_EQ(rc, 0);
}
