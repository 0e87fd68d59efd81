// Shared set-up of the service tests: a private user base folder and resource root, the
// path table filled as start-up fills it, a fresh log file with every service line
// enabled, and a LinuxService whose protected operations the tests may call.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "linux/linux-service.h"
#include "log.h"
#include "log_lines.h"
#include "path_table.h"
#include "test_env.h"

namespace svctest {

// build_version of an INFO file as written by the tests, or "" when it has none.
inline std::string BuildIn(const std::string& info) {
  const std::string text = qvtest::ReadFile(info);
  const std::string key = "build_version=";
  const size_t at = text.find(key);
  if (at == std::string::npos) return "";
  const size_t from = at + key.size();
  return text.substr(from, text.find('\n', from) - from);
}

class TestService : public LinuxService {
 public:
  using Service::CopyPackage;
  using Service::StagePackage;
  using Service::FSCopyPath;
  using Service::MigrateService;
  using Service::PrepareUserEnv;
  using Service::source_version;
  using Service::target_version;
  using Service::timeout;
};

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = qvtest::MakeTempDir("user");
    root_ = qvtest::MakeTempDir("root");
    drive_ = base_ + "/.QuenvaleDrive";
    app_ = drive_ + "/QuenvaleDrive.app";
    package_ = root_ + "/package/skylodge";
    FillPathTable(base_, root_);
    NewLog();
  }

  // Starts a fresh log file, so that a test can look at the lines of one step alone.
  void NewLog() {
    std::string log_dir = qvtest::MakeTempDir("log");
    log_path_ = log_dir + "/launcher.log";
    qvtest::WriteFile(log_dir + "/launcher.debug", "service_debug=7\n");
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log_path_, log_dir + "/launcher.debug",
                                    50, Logger::ThreadSafe));
  }

  void TearDown() override {
    if (HasFailure()) std::cerr << "---- log ----\n" << qvtest::ReadFile(log_path_);
  }

  // Every log line as "TAG file: message", after checking that it has the full prefix.
  std::vector<std::string> Log() const {
    std::vector<std::string> out;
    for (const qvtest::LogLine& l : qvtest::ReadLogLines(log_path_))
      out.push_back(l.parsed ? l.Short() : "UNPARSED " + l.raw);
    return out;
  }

  int CountLog(const std::string& entry) const {
    int n = 0;
    for (const std::string& line : Log()) n += line == entry;
    return n;
  }
  bool HasLog(const std::string& entry) const { return CountLog(entry) > 0; }

  void MakeFile(const std::string& path, const std::string& text) {
    ASSERT_EQ(0, qvtest::Shell("mkdir -p \"$(dirname '" + path + "')\""));
    ASSERT_TRUE(qvtest::WriteFile(path, text));
  }

  // A small installed copy with an INFO, the client executable and a start script.
  void MakeInstalledCopy(const std::string& dir, const std::string& build) {
    MakeFile(dir + "/INFO", "[Version]\nbuild_version=" + build + "\n");
    MakeFile(dir + "/bin/cloud-drive-ui", "client " + build + "\n");
    MakeFile(dir + "/package/start-stop", "#!/bin/sh\nexit 0\n");
    ::chmod((dir + "/bin/cloud-drive-ui").c_str(), 0755);
    ::chmod((dir + "/package/start-stop").c_str(), 0755);
  }

  bool SameTree(const std::string& a, const std::string& b) {
    return qvtest::Shell("diff -r '" + a + "' '" + b + "' >/dev/null 2>&1") == 0;
  }

  // Without a status to fill, which a 32-bit build could not for an entry dated past 2038.
  bool Exists(const std::string& path) {
    return ::faccessat(AT_FDCWD, path.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0;
  }

  std::string base_, root_, drive_, app_, package_, log_path_;
};

}  // namespace svctest
