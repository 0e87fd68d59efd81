// The path table as start-up fills it, on a given user base folder and resource root.
#pragma once

#include <QDir>
#include <QString>

#include <string>

#include "uipathmanager.h"

namespace svctest {

inline void FillPathTable(const std::string& user_base, const std::string& root) {
  const QString base = QString::fromStdString(user_base);
  const QString drive = base + "/.QuenvaleDrive";
  const QString app = drive + "/QuenvaleDrive.app";
  UIPathManager* table = UIPathManager::getInstance();
  table->setPath("user_quenvale_drive_path", QDir::cleanPath(drive));
  table->setPath("user_quenvale_drive_app_path", QDir::cleanPath(app));
  table->setPath("user_quenvale_drive_resource_path", QDir::cleanPath(app));
  table->setPath("user_quenvale_drive_data_path", QDir::cleanPath(drive + "/data"));
  table->setPath("user_quenvale_drive_working_dir_path", QDir::cleanPath(app + "/bin"));
  table->setPath("user_quenvale_drive_ui_path", QDir::cleanPath(app + "/bin/cloud-drive-ui"));
  table->setPath("user_sky_lodge_path", QDir::cleanPath(base + "/.Skylodge"));
  table->setPath("user_sky_lodge_resource_path", QDir::cleanPath(base + "/.Skylodge/Skylodge.app"));
  table->setPath("root_resource_path", QDir::cleanPath(QString::fromStdString(root) + "/bin/.."));
}

}  // namespace svctest
