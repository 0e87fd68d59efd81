#include "uipathmanager.h"

#include <QReadLocker>
#include <QWriteLocker>

UIPathManager* UIPathManager::getInstance() {
  static UIPathManager instance;
  return &instance;
}

void UIPathManager::setPath(const QString& key, const QString& path) {
  QWriteLocker locker(&m_lock);
  m_paths.insert(key, path);
}

QString UIPathManager::getPath(const QString& key) const {
  QReadLocker locker(&m_lock);
  return m_paths.value(key);
}
