#include "qtsingleapplication.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QLockFile>
#include <QSysInfo>

namespace {

QString g_private_folder;

// A folder that no other user can write to or plant a file in: ours, and closed to
// group and others. Whoever can write to the folder of a lock can hold it for us.
bool IsPrivateFolder(const struct stat& st) {
  return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

// XDG_RUNTIME_DIR when it names such a folder itself (not a link to one); "" otherwise.
// Qt's own fallback without it is a folder in the shared temporary folder, under a name
// any other user can take first, so it is not asked.
QString UsableRuntimeFolder() {
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  struct stat st;
  if (!runtime.startsWith('/') || ::lstat(runtime.constData(), &st) != 0 || !IsPrivateFolder(st)) return QString();
  return QFile::decodeName(runtime);
}

// The private folder when it is set and, links followed (a user may have moved it to
// another disk), private; "" otherwise.
QString UsablePrivateFolder() {
  struct stat st;
  if (g_private_folder.isEmpty() || ::stat(QFile::encodeName(g_private_folder).constData(), &st) != 0 ||
      !IsPrivateFolder(st)) {
    return QString();
  }
  return g_private_folder;
}

// What XDG_RUNTIME_DIR held while it stood in for an unusable one.
struct RuntimeStandIn {
  bool active = false;
  bool was_set = false;
  QByteArray original;
} g_stand_in;

}  // namespace

int& QtSingleApplication::standInRuntimeFolder(int& argc) {
  // Qt makes its own runtime folder in the shared temporary folder when the session has
  // none, and another user may have made that name first: while the application object
  // is built, the private folder serves as the runtime folder.
  const QString stand_in = UsableRuntimeFolder().isEmpty() ? UsablePrivateFolder() : QString();
  if (!stand_in.isEmpty()) {
    g_stand_in.active = true;
    g_stand_in.was_set = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
    g_stand_in.original = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(stand_in));
  }
  return argc;
}

void QtSingleApplication::restoreRuntimeFolder() {
  if (!g_stand_in.active) return;
  g_stand_in.active = false;
  // The processes started later (the client among them) see the session's own value.
  if (g_stand_in.was_set) {
    qputenv("XDG_RUNTIME_DIR", g_stand_in.original);
  } else {
    qunsetenv("XDG_RUNTIME_DIR");
  }
}

void QtSingleApplication::setPrivateFolder(const QString& folder) { g_private_folder = folder; }

QString QtSingleApplication::lockFilePath(const QString& id) {
  const QString name = id.isEmpty() ? QStringLiteral("application") : id;
  const QString runtime = UsableRuntimeFolder();
  if (!runtime.isEmpty()) return runtime + QLatin1Char('/') + name + QStringLiteral(".single.lock");

  // The private folder may lie in a home shared by several machines, whose sessions do
  // not see each other's processes, hence one lock per host.
  const QString folder = UsablePrivateFolder();
  if (folder.isEmpty()) return QString();
  QString host = QSysInfo::machineHostName();
  host.replace(QLatin1Char('/'), QLatin1Char('_'));
  return folder + QLatin1Char('/') + name + QLatin1Char('-') + host + QStringLiteral(".single.lock");
}

QtSingleApplication::QtSingleApplication(int& argc, char** argv, bool /*GUIenabled*/)
    : QApplication(standInRuntimeFolder(argc), argv) {
  restoreRuntimeFolder();
  m_lock_path = lockFilePath(applicationName());
  // Nowhere safe to keep the lock: running unguarded beats not running at all.
  if (m_lock_path.isEmpty()) return;
  m_lock = new QLockFile(m_lock_path);
  // The lock is held for the whole run, so age says nothing; a lock whose owner has died
  // is recognised by its process id instead.
  m_lock->setStaleLockTime(0);
  if (m_lock->tryLock(0)) return;

  // A lock that cannot even be created (unwritable folder) guards nothing either.
  m_running = m_lock->error() == QLockFile::LockFailedError;
  QString app_name;
  if (m_running) m_lock->getLockInfo(&m_holder_pid, &m_holder_host, &app_name);
  delete m_lock;
  m_lock = nullptr;
}

QtSingleApplication::~QtSingleApplication() { releaseLock(); }

void QtSingleApplication::releaseLock() {
  // Unlocks and removes the file.
  delete m_lock;
  m_lock = nullptr;
}

bool QtSingleApplication::isRunning() const { return m_running; }

QString QtSingleApplication::runningInstance() const {
  return QStringLiteral("pid %1 on host '%2'").arg(m_holder_pid).arg(m_holder_host);
}

QString QtSingleApplication::lockPath() const { return m_lock_path; }
