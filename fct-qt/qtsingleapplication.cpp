#include "qtsingleapplication.h"

#include <unistd.h>

#include <QDir>
#include <QLockFile>
#include <QStandardPaths>

QString QtSingleApplication::lockFilePath(const QString& id) {
  const QString name = id.isEmpty() ? QStringLiteral("application") : id;
  // The runtime folder is private to the user (Qt checks owner and mode 0700), so two
  // users never meet on the same lock.
  const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (!runtime.isEmpty()) return runtime + QLatin1Char('/') + name + QStringLiteral(".single.lock");
  // No usable runtime folder: the temporary folder is shared, so the user id keeps
  // users apart.
  return QDir::tempPath() + QLatin1Char('/') + name + QLatin1Char('-') +
         QString::number(::geteuid()) + QStringLiteral(".single.lock");
}

QtSingleApplication::QtSingleApplication(int& argc, char** argv, bool /*GUIenabled*/)
    : QApplication(argc, argv) {
  m_lock = new QLockFile(lockFilePath(applicationName()));
  // The lock is held for the whole run, so age says nothing; a lock whose owner has died
  // is recognised by its process id instead.
  m_lock->setStaleLockTime(0);
  if (m_lock->tryLock(0)) return;

  if (m_lock->error() == QLockFile::LockFailedError) {
    m_running = true;
  } else {
    // The lock cannot even be created (unwritable folder): running unguarded beats not
    // running at all.
    m_running = false;
  }
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
