// Process-wide table of named paths. Filled once at start-up on the main thread, read
// from any thread afterwards.
#pragma once

#include <QHash>
#include <QReadWriteLock>
#include <QString>

class UIPathManager {
 public:
  static UIPathManager* getInstance();

  // Stores path under key, replacing any earlier value.
  void setPath(const QString& key, const QString& path);
  // The path stored under key, or an empty string for a key never set.
  QString getPath(const QString& key) const;

 private:
  UIPathManager() = default;
  UIPathManager(const UIPathManager&) = delete;
  UIPathManager& operator=(const UIPathManager&) = delete;

  // Writes happen before other threads start, but the lock keeps a late writer (a test,
  // a future caller) from racing readers on the worker thread.
  mutable QReadWriteLock m_lock;
  QHash<QString, QString> m_paths;
};
