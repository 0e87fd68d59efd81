#include "linux/package_info.h"

#include <QDir>

namespace {
const char kInstallRoot[] = "/opt/Quenvale/QuenvaleDrive";
}  // namespace

PackageInfo::PackageInfo()
    : ImageFolder(std::string(kInstallRoot) + "/images"),
      LogFolder(QDir::homePath().toUtf8().toStdString() + "/.QuenvaleDrive"),
      LogLevelPath(std::string(kInstallRoot) + "/log/launcher.debug"),
      PackagePath(std::string(kInstallRoot) + "/package/skylodge.qvx"),
      ConfigFolder(std::string(kInstallRoot) + "/conf") {}

PackageInfo& PackageInfo::GetInstance() {
  static PackageInfo instance;
  return instance;
}
