#include <dirent.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>

#include <QAccessibleObject>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QStringList>
#include <QTranslator>

#include "cloud-service.h"
#include "launcher.h"
#include "linux/linux-service.h"
#include "qtsingleapplication.h"
#include "quenlocale.h"
#include "strtab.h"
#include "uipathmanager.h"
#include "user-folder.h"

#define QV_LOG_FILE "main.cpp"
#include "log.h"

// LeakSanitizer's check, linked in only by a sanitizer build.
extern "C" void __lsan_do_leak_check() __attribute__((weak));

namespace {

// A package that carries its own Qt and ICU (../lib beside the executable holds
// libQt5Core.so.5) runs with exactly those. Its binaries find them through a run path
// that the loader searches before LD_LIBRARY_PATH; what can still bring in another
// (LD_PRELOAD, /etc/ld.so.preload) is caught here, and such a run is refused rather than
// left to crash in a mix of two Qt builds.
bool IsQtOrIcu(const std::string& name) { return name.rfind("libQt5", 0) == 0 || name.rfind("libicu", 0) == 0; }

std::pair<dev_t, ino_t> FileId(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return {0, 0};
  return {st.st_dev, st.st_ino};
}

struct LoadedQt {
  std::set<std::pair<dev_t, ino_t>> bundled;
  std::string foreign;  // the first Qt or ICU library mapped that is not among them
};

// The folder of the running executable with every link resolved, read from
// /proc/self/exe: started through /usr/bin/quenvale-drive, through any other link, or by
// a bare name found in PATH, the launcher still finds the install it belongs to, which
// argv[0] cannot tell. Empty only where /proc is not mounted.
QString ExecutableFolder() {
  const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
  return exe.isEmpty() ? QString() : QFileInfo(exe).path();
}

// Returns 0 when every Qt and ICU library mapped is one of the package's (those in
// ../lib beside the executable's folder), else 1 once it has said which is not.
int UseBundledLibrariesOnly(const QString& folder) {
  if (folder.isEmpty()) return 0;
  const std::string lib = QFile::encodeName(QDir::cleanPath(folder + QStringLiteral("/../lib"))).toStdString();
  if (FileId(lib + "/libQt5Core.so.5").second == 0) return 0;

  LoadedQt loaded;
  if (DIR* dir = ::opendir(lib.c_str())) {
    while (const struct dirent* entry = ::readdir(dir)) {
      if (IsQtOrIcu(entry->d_name)) loaded.bundled.insert(FileId(lib + "/" + entry->d_name));
    }
    ::closedir(dir);
  }
  ::dl_iterate_phdr(
      [](struct dl_phdr_info* info, size_t, void* data) {
        auto* seen = static_cast<LoadedQt*>(data);
        const std::string path = info->dlpi_name != nullptr ? info->dlpi_name : "";
        if (seen->foreign.empty() && IsQtOrIcu(path.substr(path.rfind('/') + 1)) &&
            seen->bundled.count(FileId(path)) == 0) {
          seen->foreign = path;
        }
        return 0;
      },
      &loaded);
  if (loaded.foreign.empty()) return 0;
  std::fprintf(stderr, "'%s' is loaded, not the Qt and ICU of this package in '%s': not starting\n",
               loaded.foreign.c_str(), lib.c_str());
  return 1;
}

// What QT_QPA_PLATFORM held before start-up widened it, restored once Qt has read it so
// that the client started later sees the user's own setting.
struct PlatformChoice {
  bool was_set = false;
  QByteArray original;
  bool fallback_added = false;
  // QT_QPA_PLATFORM_PLUGIN_PATH, which Qt searches before the library paths for the
  // platform plug-in: put aside so that only the launcher's own plug-ins are loaded.
  bool plugin_path_set = false;
  QByteArray plugin_path;
};

// The platforms Qt tries, in order, when the user named none: what the session offers
// first. A session with DISPLAY keeps X11 first even when it also runs Wayland, as it
// always did; a Wayland session without XWayland gets a native Wayland window. Without
// any display (an ssh shell) the offscreen platform is the fallback, so that the launcher
// still installs and starts the client, just without a window.
QByteArray SessionPlatforms() {
  QByteArray order;
  if (!qgetenv("DISPLAY").isEmpty()) order += "xcb;";
  if (!qgetenv("WAYLAND_DISPLAY").isEmpty()) order += "wayland;";
  return order + "offscreen";
}

PlatformChoice AllowOffscreenFallback() {
  PlatformChoice choice;
  choice.was_set = qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
  choice.original = qgetenv("QT_QPA_PLATFORM");
  choice.plugin_path_set = qEnvironmentVariableIsSet("QT_QPA_PLATFORM_PLUGIN_PATH");
  choice.plugin_path = qgetenv("QT_QPA_PLATFORM_PLUGIN_PATH");
  qunsetenv("QT_QPA_PLATFORM_PLUGIN_PATH");
  if (choice.original.isEmpty()) {
    qputenv("QT_QPA_PLATFORM", SessionPlatforms());
    choice.fallback_added = true;
  } else if (!choice.original.contains("offscreen")) {
    qputenv("QT_QPA_PLATFORM", choice.original + ";offscreen");
    choice.fallback_added = true;
  }
  return choice;
}

void RestorePlatformVariable(const PlatformChoice& choice) {
  if (choice.was_set)
    qputenv("QT_QPA_PLATFORM", choice.original);
  else
    qunsetenv("QT_QPA_PLATFORM");
  if (choice.plugin_path_set) qputenv("QT_QPA_PLATFORM_PLUGIN_PATH", choice.plugin_path);
}

// The installed translator. It has no parent and serves until the end of the run; main
// deletes it after the event loop so that leak checkers see a clean exit.
QTranslator* g_translator = nullptr;

// The mode the per-user folder had when it was found open to other users, else 0; said
// in the log once there is one.
mode_t g_loosened = 0;

// Ends the run with status rc, after the launcher is gone, without Qt's teardown. On
// Wayland that teardown is unsafe: Qt 5.15's Wayland platform frees the display's mutex
// in wl_display_disconnect and then locks it in wl_event_queue_destroy, from
// ~QWaylandDisplay. Elsewhere it is only slow: the font database's destructor loads the
// whole fontconfig configuration just to free it, which made up a quarter of a start
// with nothing to do. What the way out through exit() would still do for us is done
// first: the single-instance lock given up when it is ours, every stdio stream flushed,
// the log file's among them (the logger is never closed; the kernel closes its
// descriptor, as after a return), and the leak check of sanitizer builds, which _exit
// would skip. Nothing else is pending by then: the worker has been joined and a
// notification is sent with a blocking call.
int FinishRun(int rc, QtSingleApplication& app) {
  app.releaseLock();
  std::fflush(nullptr);
  if (__lsan_do_leak_check != nullptr) __lsan_do_leak_check();
  ::_exit(rc);
}

// The one option: bring the user's client up to date only if it runs (what the package's
// systemd user service runs after each upgrade). Read before Qt takes its own options.
bool UpgradeOnlyRequested(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--upgrade-running") == 0) return true;
  }
  return false;
}

QString PathOf(const char* key) { return UIPathManager::getInstance()->getPath(QString::fromLatin1(key)); }

void SetCleanPath(const char* key, const QString& path) {
  UIPathManager::getInstance()->setPath(QString::fromLatin1(key), QDir::cleanPath(path));
}

}  // namespace

// Not in the anonymous namespace: Q_INIT_RESOURCE declares the resource's initialiser
// in the enclosing namespace, which must be the global one.
static void initialize_resources(const char* program_path, QString folder = ExecutableFolder()) {
  std::setlocale(LC_ALL, "");
  Q_INIT_RESOURCE(texts);

  // Without /proc the program path is all there is; it serves when it is the full path.
  if (folder.isEmpty())
    folder = QString::fromLocal8Bit(program_path != nullptr ? program_path : "") + QStringLiteral("/..");
  const QString plugins = QDir::cleanPath(folder + QStringLiteral("/../lib/plugins"));
  QCoreApplication::setLibraryPaths(QStringList{plugins});
  std::printf("lib path = '%s'\n", plugins.toUtf8().constData());
  std::fflush(stdout);
}

static void initializeDrivePaths() {
  // Keys under the user's install base, in registration order.
  static const struct {
    const char* key;
    const char* suffix;
  } kUserPaths[] = {
      {"user_quenvale_drive_path", "/.QuenvaleDrive"},
      {"user_quenvale_drive_app_path", "/.QuenvaleDrive/QuenvaleDrive.app"},
      {"user_quenvale_drive_resource_path", "/.QuenvaleDrive/QuenvaleDrive.app"},
      {"user_quenvale_drive_data_path", "/.QuenvaleDrive/data"},
      {"user_quenvale_drive_working_dir_path", "/.QuenvaleDrive/QuenvaleDrive.app/bin"},
      {"user_quenvale_drive_ui_path", "/.QuenvaleDrive/QuenvaleDrive.app/bin/cloud-drive-ui"},
      {"user_sky_lodge_path", "/.Skylodge"},
      {"user_sky_lodge_resource_path", "/.Skylodge/Skylodge.app"},
  };
  for (const auto& row : kUserPaths) {
    SetCleanPath(row.key, Service::GetUserInstallPath() + QLatin1String(row.suffix));
  }
  // Qt reads /proc/self/exe too, so this agrees with the plug-in folder.
  SetCleanPath("root_resource_path", QCoreApplication::applicationDirPath() + QStringLiteral("/.."));
}

static void initialize_logger() {
  const QString level_path = PathOf("root_resource_path") + QStringLiteral("/log/launcher.debug");
  const QString drive = PathOf("user_quenvale_drive_path");
  const QString log_dir = drive + QStringLiteral("/log");
  // The per-user folder itself was made private by main.
  if (MakePrivateFolder(log_dir) != 0) return;

  Logger::Initialize(Logger::FILE_LOGGER, (log_dir + QStringLiteral("/launcher.log")).toUtf8().toStdString(),
                     level_path.toUtf8().toStdString(), 50, Logger::ThreadSafe);

  // Four of these keys are never registered; they print as empty.
  QVLOG_INFO("launcher_debug", ">>> user_sky_lodge_path = %s\n", PathOf("user_sky_lodge_path").toUtf8().constData());
  QVLOG_INFO("launcher_debug", ">>> user_sky_lodge_app_path = %s\n",
             PathOf("user_sky_lodge_app_path").toUtf8().constData());
  QVLOG_INFO("launcher_debug", ">>> user_sky_lodge_resource_path = %s\n",
             PathOf("user_sky_lodge_resource_path").toUtf8().constData());
  QVLOG_INFO("launcher_debug", ">>> user_sky_lodge_data_path = %s\n",
             PathOf("user_sky_lodge_data_path").toUtf8().constData());
  QVLOG_INFO("launcher_debug", ">>> user_sky_lodge_working_dir_path = %s\n",
             PathOf("user_sky_lodge_working_dir_path").toUtf8().constData());
  QVLOG_INFO("launcher_debug", ">>> user_sky_lodge_drive_ui_path = %s\n",
             PathOf("user_sky_lodge_drive_ui_path").toUtf8().constData());
  QVLOG_INFO("launcher_debug", ">>> root_resource_path = %s\n", PathOf("root_resource_path").toUtf8().constData());
  if (g_loosened != 0) {
    QVLOG_NOTE("launcher_debug", "'%s' was open to other users (mode %04o), made private (mode %04o)\n",
               drive.toUtf8().constData(), static_cast<unsigned>(g_loosened), static_cast<unsigned>(g_loosened & 07700));
  }
  LogIgnoredDataHome();
}

// The body of initializeLanguage, which needs nothing of the application object; kept
// apart so the tests can run it beside their own application object. Returns the
// installed translator, or nullptr when there was no translation.
static QTranslator* installLanguageAndFont() {
  QTranslator* translator = new QTranslator();
  const QString code = QuenLocale::getInstance()->getDefaultLanguage();
  translator->load(QStringLiteral(":/") + code + QStringLiteral(".qm"));
  if (!translator->isEmpty()) {
    QCoreApplication::installTranslator(translator);
  } else {
    delete translator;
    translator = nullptr;
  }

  StrTable::InitStrTable();

  const QString family = code == QLatin1String("tha") ? QStringLiteral("Microsoft Sans Serif") : QStringLiteral("Arial");
  QApplication::setFont(QFont(family, 9, -1, false));
  return translator;
}

static void initializeLanguage(QtSingleApplication& /*app*/) { g_translator = installLanguageAndFont(); }

// The folder holds the user's client, its data and this log: the user's alone. True
// when it is; its former mode goes to the log when it was open to others.
static bool makePerUserFolderPrivate(const QString& drive) { return MakePrivateFolder(drive, &g_loosened) == 0; }

// Without a home there is no per-user folder to keep: said on standard error, since
// the log would live there.
static bool haveHome() {
  if (EnsureHomeVariable()) return true;
  const QString levels = ExecutableFolder() + QStringLiteral("/../log/launcher.debug");
  Logger::Initialize(Logger::STDERR_LOGGER, std::string(), QDir::cleanPath(levels).toUtf8().toStdString(), 50,
                     Logger::ThreadSafe);
  QVLOG_ERR("launcher_debug", "HOME is not set and user %u has no home folder, nothing to do\n",
            static_cast<unsigned>(::getuid()));
  return false;
}

// AT-SPI announces the application by the name of its root accessible, which Qt takes
// from the application name: the executable's, which also keys the single-instance
// lock. Screen readers get the display name, the product's name as the dialog's title
// shows it, and the lock keeps its name.
namespace {
class DisplayNamedApplication : public QAccessibleApplication {
 public:
  QString text(QAccessible::Text t) const override {
    return t == QAccessible::Name ? QGuiApplication::applicationDisplayName() : QAccessibleApplication::text(t);
  }
};

QAccessibleInterface* AccessibleApplication(const QString& /*class_name*/, QObject* object) {
  return object != nullptr && object == QCoreApplication::instance() ? new DisplayNamedApplication : nullptr;
}
}  // namespace

int main(int argc, char** argv) {
  const QString folder = ExecutableFolder();
  if (UseBundledLibrariesOnly(folder) != 0) return 1;
  initialize_resources(argc > 0 ? argv[0] : nullptr, folder);
  if (!haveHome()) return 0;
  const bool upgrade_only = UpgradeOnlyRequested(argc, argv);

  // Made before the application object, which keeps its single-instance lock there when
  // the session has no private runtime folder. A run that only upgrades a running client
  // changes nothing before it knows that the client runs: the folder serves as it is, if
  // it serves at all (without it no client of this user can run).
  const QString drive = QDir::cleanPath(Service::GetUserInstallPath() + QStringLiteral("/.QuenvaleDrive"));
  bool drive_private = !upgrade_only && makePerUserFolderPrivate(drive);
  QtSingleApplication::setPrivateFolder(drive);
  // Before the application object, whose platform may ask for its accessible at once.
  QAccessible::installFactory(AccessibleApplication);
  const PlatformChoice platform = AllowOffscreenFallback();
  QtSingleApplication app(argc, argv, true);
  RestorePlatformVariable(platform);
  // Names the menu entry that the dialog belongs to; Wayland compositors take the
  // window's icon from it.
  QGuiApplication::setDesktopFileName(QStringLiteral("quenvale-drive"));

  initializeDrivePaths();
  // Decided before the log is opened and before the recovery at start, which change the
  // per-user folder: a client that does not run gets its upgrade at its next start.
  if (upgrade_only && !LinuxService::GetInstace().IsClientRunning()) {
    std::printf("the client does not run, nothing to upgrade\n");
    return FinishRun(0, app);
  }
  LinuxService::SetUpgradeOnly(upgrade_only);
  if (upgrade_only) drive_private = makePerUserFolderPrivate(drive);
  // Without a folder of its own there is no log, as without a log folder.
  if (drive_private) initialize_logger();
  if (upgrade_only) QVLOG_INFO("launcher_debug", "the client runs, upgrading it if needed\n");

  QVLOG_DEBUG("launcher_debug", "platform = %s\n", QGuiApplication::platformName().toUtf8().constData());
  if (platform.fallback_added && QGuiApplication::platformName() == QLatin1String("offscreen")) {
    QVLOG_WARN("launcher_debug", "no display could be opened (DISPLAY='%s'), running without a window\n",
               qgetenv("DISPLAY").constData());
  }

  // Said at the default level: a launcher that does nothing must leave a trace.
  if (app.isRunning()) {
    QVLOG_WARN("launcher_debug", "app has already launched, return\n");
    QVLOG_WARN("launcher_debug", "the single-instance lock '%s' is held by %s\n",
               app.lockPath().toUtf8().constData(),
               app.runningInstance().toUtf8().constData());
    return FinishRun(0, app);
  }

  initializeLanguage(app);
  QGuiApplication::setApplicationDisplayName(StrTable::LoadStr(StrTable::app_name_drive_client));

  Launcher* launcher = new Launcher();
  launcher->Run();
  launcher->Start();
  const int rc = QApplication::exec();
  delete launcher;
  delete g_translator;  // also uninstalls it
  return FinishRun(rc, app);
}
