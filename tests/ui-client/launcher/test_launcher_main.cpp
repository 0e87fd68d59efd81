// Start-up: the steps of main in-process, and the built executable in a staged install
// for what only a whole process shows (second instance, no display).
#include <signal.h>
#include <sys/stat.h>

#include <QDir>
#include <QLibraryInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <thread>

#include "launcher_test_util.h"
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

TEST(StartUp, PluginFolderIsDerivedTextuallyFromTheProgramPath) {
  const QStringList saved = QCoreApplication::libraryPaths();
  initialize_resources("/opt/x/bin/launcher");
  EXPECT_EQ(QCoreApplication::libraryPaths(), QStringList{"/opt/x/lib/plugins"});
  // Started by a bare name through PATH: relative to the current folder, unresolved.
  initialize_resources("launcher");
  EXPECT_EQ(QCoreApplication::libraryPaths(), QStringList{"../lib/plugins"});
  initialize_resources("/opt//x/./bin/launcher");
  EXPECT_EQ(QCoreApplication::libraryPaths(), QStringList{"/opt/x/lib/plugins"});
  QCoreApplication::setLibraryPaths(saved);
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
  const std::string log = qvtest::ReadFile(home + "/.QuenvaleDrive/log/launcher.log");
  std::vector<std::string> messages;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find("[INFO] main.cpp(");
    ASSERT_NE(at, std::string::npos) << line;
    messages.push_back(line.substr(line.find("): ", at) + 3));
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

namespace {

// The built launcher copied into a staged install (bin/, lib/plugins from this Qt, the
// package and level file), run with its own home and runtime folder.
class LauncherProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = qvtest::MakeTempDir("install");
    home_ = qvtest::MakeTempDir("home");
    runtime_ = qvtest::MakeTempDir("runtime");
    ::chmod(runtime_.c_str(), 0700);
    marker_ = home_ + "/started";
    const std::string exe = QV_BINARY_DIR "/ui-client/launcher/launcher";
    ASSERT_TRUE(QFile::exists(QString::fromStdString(exe))) << "build the launcher target first";
    ASSERT_EQ(qvtest::Shell("mkdir -p '" + root_ + "/bin' '" + root_ + "/lib' '" + root_ + "/log' && cp '" + exe +
                            "' '" + root_ + "/bin/launcher' && ln -s '" +
                            QLibraryInfo::location(QLibraryInfo::PluginsPath).toStdString() + "' '" + root_ +
                            "/lib/plugins'"),
              0);
    ASSERT_TRUE(qvtest::WriteFile(root_ + "/log/launcher.debug", "launcher_debug=7\n"));
    ASSERT_TRUE(qvtest::WriteFile(root_ + "/INFO", "[Version]\nbuild_version=4\n"));
    const std::string pkg = root_ + "/package/skylodge";
    ASSERT_EQ(qvtest::Shell("mkdir -p '" + pkg + "/bin' '" + pkg + "/package' && cp '" + root_ + "/INFO' '" + pkg +
                            "/INFO' && touch '" + pkg + "/bin/cloud-drive-ui'"),
              0);
    // Records its argument and what it inherited. With GATE set it first announces
    // itself (GATE.waiting) and waits (at most a minute) while GATE exists, which keeps
    // its launcher busy until the test removes the file.
    ASSERT_TRUE(qvtest::WriteFile(pkg + "/package/start-stop",
                                  "#!/bin/sh\n[ -n \"$GATE\" ] && : > \"$GATE.waiting\"\nn=0\nwhile [ -n \"$GATE\" ] && [ -e \"$GATE\" ] && [ $n -lt 600 ]; do "
                                  "sleep 0.1; n=$((n+1)); done\n"
                                  "echo \"$1 platform=${QT_QPA_PLATFORM-unset}\" >> '" +
                                      marker_ + "'\n"));
    ::chmod((pkg + "/package/start-stop").c_str(), 0755);
  }

  QProcessEnvironment Env() const {
    QProcessEnvironment env;
    // The sanitizer settings of the test run apply to the launcher too.
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
      if (qEnvironmentVariableIsSet(name)) env.insert(name, qEnvironmentVariable(name));
    env.insert("HOME", QString::fromStdString(home_));
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime_));
    env.insert("PATH", "/usr/bin:/bin");
    env.insert("LANG", "C.UTF-8");
    return env;
  }

  std::string Log() const { return qvtest::ReadFile(home_ + "/.QuenvaleDrive/log/launcher.log"); }

  static bool WaitForFile(const std::string& path) {
    for (int i = 0; i < 600; ++i) {
      if (QFileInfo::exists(QString::fromStdString(path))) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  std::string root_, home_, runtime_, marker_;
};

}  // namespace

TEST_F(LauncherProcess, RunsWithoutAnyDisplayAndLeavesThePlatformChoiceAlone) {
  for (const char* display : {"", ":97"}) {
    QProcess launcher;
    QProcessEnvironment env = Env();
    if (*display != '\0') env.insert("DISPLAY", display);
    launcher.setProcessEnvironment(env);
    launcher.start(QString::fromStdString(root_ + "/bin/launcher"), QStringList());
    ASSERT_TRUE(launcher.waitForFinished(60000)) << display;
    EXPECT_EQ(launcher.exitStatus(), QProcess::NormalExit) << display;
    EXPECT_EQ(launcher.exitCode(), 0) << display;
    EXPECT_EQ(launcher.readAllStandardOutput().toStdString(), "lib path = '" + root_ + "/lib/plugins'\n");
    EXPECT_NE(Log().find("no display could be opened (DISPLAY='" + std::string(display) + "')"), std::string::npos)
        << Log();
  }
  // Both runs started the client, which did not inherit the launcher's fallback.
  EXPECT_EQ(qvtest::ReadFile(marker_), "start platform=unset\nstart platform=unset\n");
}

TEST_F(LauncherProcess, SecondInstanceLeavesAtOnceWhileTheFirstRuns) {
  QProcessEnvironment env = Env();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  const std::string gate = home_ + "/gate";
  ASSERT_TRUE(qvtest::WriteFile(gate, ""));
  env.insert("GATE", QString::fromStdString(gate));
  QProcess first;
  first.setProcessEnvironment(env);
  first.start(QString::fromStdString(root_ + "/bin/launcher"), QStringList());
  ASSERT_TRUE(first.waitForStarted());
  // Wait until the first one is starting the client.
  ASSERT_TRUE(WaitForFile(gate + ".waiting"));

  QProcess second;
  second.setProcessEnvironment(env);
  second.start(QString::fromStdString(root_ + "/bin/launcher"), QStringList());
  ASSERT_TRUE(second.waitForFinished(20000));
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_EQ(first.state(), QProcess::Running);
  EXPECT_NE(Log().find("app has already launched, return"), std::string::npos);

  ::unlink(gate.c_str());
  ASSERT_TRUE(first.waitForFinished(60000));
  EXPECT_EQ(first.exitCode(), 0);
  // Only the first one started the client.
  EXPECT_EQ(qvtest::ReadFile(marker_), "start platform=offscreen\n");
}

TEST_F(LauncherProcess, CrashedLauncherDoesNotBlockTheNextOne) {
  QProcessEnvironment env = Env();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  const std::string gate = home_ + "/gate";
  ASSERT_TRUE(qvtest::WriteFile(gate, ""));
  env.insert("GATE", QString::fromStdString(gate));
  QProcess first;
  first.setProcessEnvironment(env);
  first.start(QString::fromStdString(root_ + "/bin/launcher"), QStringList());
  ASSERT_TRUE(first.waitForStarted());
  ASSERT_TRUE(WaitForFile(gate + ".waiting"));
  ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
  first.waitForFinished(10000);

  // The killed launcher's start script (a child) still runs; it must not hold the lock.
  env.remove("GATE");
  QProcess next;
  next.setProcessEnvironment(env);
  next.start(QString::fromStdString(root_ + "/bin/launcher"), QStringList());
  ASSERT_TRUE(next.waitForFinished(60000));
  EXPECT_EQ(next.exitCode(), 0);
  EXPECT_EQ(Log().find("app has already launched"), std::string::npos) << Log();
  EXPECT_EQ(qvtest::ReadFile(marker_), "start platform=offscreen\n");
  // Lets the orphaned script of the killed launcher finish.
  ::unlink(gate.c_str());
}
