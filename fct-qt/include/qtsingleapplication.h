// A QApplication that knows whether another instance of the same program runs for the
// same user. The first instance holds a lock file in a folder of the user's alone for its
// whole life; a lock left by a crashed instance is detected as stale and taken over.
#pragma once

#include <QApplication>
#include <QString>

class QLockFile;

class QtSingleApplication : public QApplication {
  Q_OBJECT

 public:
  QtSingleApplication(int& argc, char** argv, bool GUIenabled = true);
  ~QtSingleApplication() override;

  // True when another live instance held the lock when this one was constructed.
  bool isRunning() const;
  // "pid N on host 'H'" of that instance, as its lock file says.
  QString runningInstance() const;
  // The lock file this instance took or found held; "" when there was none to take.
  QString lockPath() const;

  // Gives up the lock now rather than at destruction, for a process that ends without
  // destroying this object. Nothing when this instance never held it.
  void releaseLock();

  // The folder that holds the lock when the user has no usable runtime folder: one of
  // the user's alone (a home may hold it). Set before the application object is built.
  static void setPrivateFolder(const QString& folder);

  // Path of the lock file for the application name `id`: in the user's runtime folder
  // (XDG_RUNTIME_DIR) when it is a folder of the user's that no one else may enter, else
  // in the private folder, with the host name in the file's name; "" when neither is
  // usable, and then no lock is taken. Never in a folder that another user can write to.
  static QString lockFilePath(const QString& id);

 private:
  static int& standInRuntimeFolder(int& argc);
  static void restoreRuntimeFolder();

  QString m_lock_path;
  QLockFile* m_lock = nullptr;
  bool m_running = false;
  qint64 m_holder_pid = 0;
  QString m_holder_host;
};
