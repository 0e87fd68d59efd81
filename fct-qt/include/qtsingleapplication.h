// A QApplication that knows whether another instance of the same program runs for the
// same user. The first instance holds a lock file in the user's runtime folder for its
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

  // Gives up the lock now rather than at destruction, for a process that ends without
  // destroying this object. Nothing when this instance never held it.
  void releaseLock();

  // Path of the lock file for the application name `id`: in the user's runtime folder
  // (XDG_RUNTIME_DIR), else in the temporary folder with the user id in the name.
  static QString lockFilePath(const QString& id);

 private:
  QLockFile* m_lock = nullptr;
  bool m_running = false;
};
