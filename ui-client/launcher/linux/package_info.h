// Fixed locations of the system-wide install. The upgrade sequence takes its paths from
// the path table instead; this record is kept for callers that want the defaults.
#pragma once

#include "ustring/ustring.h"

class PackageInfo {
 public:
  PackageInfo();

  static PackageInfo& GetInstance();

  const ustring& GetImageFolder() const { return ImageFolder; }
  const ustring& GetLogFolder() const { return LogFolder; }
  const ustring& GetLogLevelPath() const { return LogLevelPath; }
  const ustring& GetPackagePath() const { return PackagePath; }
  const ustring& GetConfigFolder() const { return ConfigFolder; }

  ustring ImageFolder;
  ustring LogFolder;
  ustring LogLevelPath;
  ustring PackagePath;
  ustring ConfigFolder;
};
