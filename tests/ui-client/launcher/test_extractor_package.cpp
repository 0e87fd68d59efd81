// Service::ExtractPackage: the package archive under the resource root unpacked into the
// per-user app folder, with the folder created first.
#include <QString>

#include "cloud-service.h"
#include "extractor_test_util.h"
#include "uipathmanager.h"

using extest::Exists;
using extest::ExtractorFixture;

namespace {

// The sequence operations are not under test here; only the inherited unpacking is.
class PackageService : public Service {
 public:
  void StopService() override {}
  int HandlePackageUpgrade() override { return -1; }
  void PostUpgrade() override {}
  void PreUpgrade() override {}
  bool IsNeedUpgrade() override { return false; }
  using Service::ExtractPackage;
};

class ExtractPackageTest : public ExtractorFixture {
 protected:
  void SetUp() override {
    ExtractorFixture::SetUp();
    root_ = work_ + "/root";
    app_ = work_ + "/home/.QuenvaleDrive/QuenvaleDrive.app";
    const std::string pkg = work_ + "/pkg";
    ASSERT_EQ(0, qvtest::Shell("set -e; mkdir -p " + root_ + "/package " + pkg +
                               "/bin; printf ui > " + pkg + "/bin/cloud-drive-ui; chmod 755 " +
                               pkg + "/bin/cloud-drive-ui; printf info > " + pkg +
                               "/INFO; bsdtar -czf " + root_ + "/package/skylodge.qvx -C " +
                               pkg + " bin INFO"));
    SetPaths(root_, app_);
  }

  static void SetPaths(const std::string& root, const std::string& app) {
    UIPathManager::getInstance()->setPath("root_resource_path", QString::fromStdString(root));
    UIPathManager::getInstance()->setPath("user_quenvale_drive_app_path",
                                          QString::fromStdString(app));
  }

  std::string root_;
  std::string app_;
};

TEST_F(ExtractPackageTest, UnpacksThePackageIntoANewAppFolder) {
  PackageService service;
  EXPECT_EQ(0, service.ExtractPackage());
  EXPECT_EQ("ui", qvtest::ReadFile(app_ + "/bin/cloud-drive-ui"));
  EXPECT_EQ("info", qvtest::ReadFile(app_ + "/INFO"));
  EXPECT_EQ(0, ::access((app_ + "/bin/cloud-drive-ui").c_str(), X_OK));
  EXPECT_EQ(3u, progress_.size());
  EXPECT_EQ(1, LogCount("[INFO] extractor.cpp("));
  EXPECT_EQ(1, LogCount("extract package: '" + root_ + "/package/skylodge.qvx' -> '" + app_ +
                        "'\n"));
}

TEST_F(ExtractPackageTest, PerUserFolderOnAnotherDiskKeepsItsLink) {
  const std::string disk = work_ + "/disk/qd";
  ASSERT_EQ(0, qvtest::Shell("mkdir -p " + disk + " " + work_ + "/home && ln -s " + disk + " " +
                             work_ + "/home/.QuenvaleDrive"));

  PackageService service;
  EXPECT_EQ(0, service.ExtractPackage());
  EXPECT_TRUE(extest::IsSymlink(work_ + "/home/.QuenvaleDrive"));
  EXPECT_EQ("ui", qvtest::ReadFile(disk + "/QuenvaleDrive.app/bin/cloud-drive-ui"));
}

TEST_F(ExtractPackageTest, AppFolderThatCannotBeMadeStopsBeforeUnpacking) {
  ASSERT_TRUE(qvtest::WriteFile(work_ + "/plain", "a file where a folder belongs"));
  const std::string app = work_ + "/plain/QuenvaleDrive.app";
  SetPaths(root_, app);

  PackageService service;
  EXPECT_EQ(-1, service.ExtractPackage());
  EXPECT_EQ(1, LogCount("failed to create folder: '" + app + "'\n"));
  EXPECT_EQ(0, LogCount("extract package:"));
  EXPECT_TRUE(labels_.empty());
}

TEST_F(ExtractPackageTest, MissingArchiveFailsAfterTheFolderIsMade) {
  ASSERT_EQ(0, ::unlink((root_ + "/package/skylodge.qvx").c_str()));

  PackageService service;
  EXPECT_EQ(-1, service.ExtractPackage());
  EXPECT_TRUE(Exists(app_));
  EXPECT_EQ(1, LogCount("Failed to calculate total file numbers, ret: -1\n"));
  EXPECT_TRUE(progress_.empty());
}

}  // namespace
