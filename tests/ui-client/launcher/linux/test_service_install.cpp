// Installing the package into the per-user app folder with backup and rollback, and the
// clean-up and migration of the legacy per-user folder.
#include "service_fixture.h"

namespace {

using svctest::ServiceTest;
using svctest::TestService;

class InstallTest : public ServiceTest {
 protected:
  // A package with nested folders, an executable, an empty file and a link.
  void MakePackage() {
    MakeFile(package_ + "/INFO", "[Version]\nbuild_version=30\n");
    MakeFile(package_ + "/bin/cloud-drive-ui", "new client\n");
    ::chmod((package_ + "/bin/cloud-drive-ui").c_str(), 0755);
    MakeFile(package_ + "/package/start-stop", "#!/bin/sh\nexit 0\n");
    ::chmod((package_ + "/package/start-stop").c_str(), 0750);
    MakeFile(package_ + "/lib/deep/er/data.bin", std::string(20000, 'x'));
    MakeFile(package_ + "/empty", "");
    ASSERT_EQ(0, ::symlink("../INFO", (package_ + "/lib/info-link").c_str()));
  }

  // Everything rename keeps: names, kinds, modes, sizes, times, link targets.
  std::string Snapshot(const std::string& dir) {
    return qvtest::ShellOutput("cd '" + dir + "' && find . -printf '%P %y %m %s %T@ %l\\n' | sort");
  }

  std::string Backups() { return qvtest::ShellOutput("cd '" + drive_ + "' && ls -d *_tmp* 2>/dev/null"); }

  std::string Mode(const std::string& path) {
    return qvtest::ShellOutput("stat -c %a '" + path + "'");
  }
};

TEST_F(InstallTest, FirstInstallCopiesThePackageAndClearsALeftoverBackup) {
  MakePackage();
  MakeFile(app_ + "_tmp/stale", "from an interrupted run\n");
  TestService service;
  ASSERT_EQ(0, service.PrepareUserEnv());

  EXPECT_TRUE(SameTree(package_, app_));
  EXPECT_EQ("755\n", Mode(app_ + "/bin/cloud-drive-ui"));
  EXPECT_EQ("750\n", Mode(app_ + "/package/start-stop"));
  EXPECT_EQ("", Backups());
  EXPECT_TRUE(HasLog("INFO cloud-service.cpp: copy package:'" + package_ + "' -> '" + app_ + "' "));
  EXPECT_TRUE(HasLog("DEBUG cloud-service.cpp: copy from '" + package_ + "' to '" + app_ + "'"));
  EXPECT_TRUE(HasLog("DEBUG cloud-service.cpp: copy from '" + package_ + "/lib/deep/er' to '" +
                     app_ + "/lib/deep/er'"));
  EXPECT_TRUE(HasLog("INFO cloud-service.cpp: user installation is ready, removing backup app"));
  for (const std::string& line : Log()) EXPECT_EQ(std::string::npos, line.find("ERROR")) << line;
}

TEST_F(InstallTest, UpgradeOfALargePackageReplacesTheOldCopy) {
  // A few thousand files in nested folders, plus files that only the old copy has.
  ASSERT_EQ(0, qvtest::Shell("set -e; cd '" + root_ + "'; mkdir -p package/skylodge; cd package/skylodge;"
                             "for d in $(seq 1 40); do mkdir -p d$d/sub; for f in $(seq 1 50); do "
                             "echo \"$d $f\" > d$d/f$f; done; echo deep > d$d/sub/x; done"));
  MakeInstalledCopy(app_, "20");
  MakeFile(app_ + "/only-in-old/file", "old\n");
  MakeFile(app_ + "/d1/f1", "old content\n");
  TestService service;
  ASSERT_EQ(0, service.PrepareUserEnv());
  EXPECT_TRUE(SameTree(package_, app_));
  EXPECT_EQ("", Backups());
}

// Looks at the disk while the package is being put in place.
class ObservingService : public TestService {
 public:
  std::string backup_seen;
  std::string app_tmp1;

 protected:
  int CopyPackage() override {
    backup_seen = qvtest::ReadFile(app_tmp1 + "/bin/cloud-drive-ui");
    return TestService::CopyPackage();
  }
};

TEST_F(InstallTest, LeftoverBackupMovesTheBackupToTheNextName) {
  MakePackage();
  MakeInstalledCopy(app_, "20");
  MakeFile(app_ + "_tmp/stale", "from an interrupted run\n");
  ObservingService service;
  service.app_tmp1 = app_ + "_tmp1";
  ASSERT_EQ(0, service.PrepareUserEnv());

  EXPECT_EQ("client 20\n", service.backup_seen);
  EXPECT_TRUE(SameTree(package_, app_));
  EXPECT_EQ("", Backups());
  EXPECT_EQ(1, CountLog("ERROR cloud-service.cpp: failed to backup app from '" + app_ + "' -> '" +
                        app_ + "_tmp'"));
}

TEST_F(InstallTest, AllBackupNamesBlockedLeavesEverythingAsItWas) {
  MakePackage();
  MakeInstalledCopy(app_, "20");
  for (int i = 0; i < 10; ++i) {
    MakeFile(app_ + "_tmp" + (i ? std::to_string(i) : "") + "/keep", "blocker\n");
  }
  const std::string before = Snapshot(drive_);
  TestService service;
  EXPECT_EQ(-1, service.PrepareUserEnv());

  EXPECT_EQ(before, Snapshot(drive_));
  std::vector<std::string> expected;
  for (int i = 0; i < 10; ++i) {
    expected.push_back("ERROR cloud-service.cpp: failed to backup app from '" + app_ + "' -> '" +
                       app_ + "_tmp" + (i ? std::to_string(i) : "") + "'");
  }
  expected.push_back("ERROR cloud-service.cpp: failed to backup app from '" + app_ + "' -> '" +
                     app_ + "_tmp9' at max retries, exiting");
  EXPECT_EQ(expected, Log());
}

TEST_F(InstallTest, CopyFailureRestoresTheOldCopyExactly) {
  MakePackage();
  ASSERT_EQ(0, ::symlink("nowhere", (package_ + "/dangling").c_str()));
  MakeInstalledCopy(app_, "20");
  MakeFile(app_ + "/lib/old.so", std::string(5000, 'o'));
  ::chmod((app_ + "/lib/old.so").c_str(), 0700);
  ASSERT_EQ(0, ::symlink("../INFO", (app_ + "/lib/info-link").c_str()));
  const std::string pristine = qvtest::MakeTempDir("pristine");
  ASSERT_EQ(0, qvtest::Shell("cp -a '" + app_ + "/.' '" + pristine + "'"));
  const std::string before = Snapshot(app_);

  TestService service;
  EXPECT_EQ(-1, service.PrepareUserEnv());

  EXPECT_EQ(before, Snapshot(app_));
  EXPECT_TRUE(SameTree(pristine, app_));
  EXPECT_EQ("", Backups());
  EXPECT_TRUE(HasLog("ERROR cloud-service.cpp: FSCopyPath: failed to copy from '" + package_ +
                     "/dangling' to '" + app_ + "/dangling'"));
  EXPECT_TRUE(HasLog("ERROR cloud-service.cpp: Failed to extract package, rollback to old installation"));
  EXPECT_FALSE(HasLog("INFO cloud-service.cpp: user installation is ready, removing backup app"));
}

// A package folder the user cannot read must not pass for an empty one: that would
// replace a working copy with a hollow one and delete the backup.
TEST_F(InstallTest, UnreadablePackageFolderRollsBack) {
  MakePackage();
  ::chmod((package_ + "/package/start-stop").c_str(), 0755);
  ::chmod((package_ + "/lib/deep").c_str(), 0700);  // root's alone
  MakeInstalledCopy(app_, "20");
  ASSERT_EQ(0, qvtest::Shell("chown -R " + std::to_string(qvtest::UnprivilegedUid()) + ":" +
                             std::to_string(qvtest::UnprivilegedGid()) + " '" + base_ + "'"));
  const std::string before = Snapshot(app_);

  const int rc = qvtest::RunUnprivileged([] {
    TestService service;
    return service.PrepareUserEnv() == -1 ? 0 : 1;
  });

  EXPECT_EQ(0, rc);
  EXPECT_EQ(before, Snapshot(app_));
  EXPECT_EQ("", Backups());
  EXPECT_TRUE(HasLog("WARNING cloud-service.cpp: FSCopyPath: failed to create handle  for src '" +
                     package_ + "/lib/deep' failed"));
  EXPECT_TRUE(HasLog("ERROR cloud-service.cpp: Failed to extract package, rollback to old installation"));
}

TEST_F(InstallTest, MissingPackageRollsBack) {
  MakeInstalledCopy(app_, "20");
  const std::string before = Snapshot(app_);
  TestService service;
  EXPECT_EQ(-1, service.PrepareUserEnv());
  EXPECT_EQ(before, Snapshot(app_));
  EXPECT_EQ("", Backups());
  EXPECT_TRUE(HasLog("ERROR cloud-service.cpp: FSCopyPath: source path '" + package_ +
                     "' does not exist"));
  EXPECT_TRUE(HasLog("ERROR cloud-service.cpp: Failed to extract package, rollback to old installation"));
}

TEST_F(InstallTest, FailedFirstInstallLeavesThePartialCopy) {
  MakePackage();
  ASSERT_EQ(0, ::symlink("nowhere", (package_ + "/dangling").c_str()));
  TestService service;
  EXPECT_EQ(-1, service.PrepareUserEnv());
  EXPECT_TRUE(Exists(app_));
  EXPECT_TRUE(HasLog(
      "ERROR cloud-service.cpp: Failed to extract package, and no old installation to rollback"));
}

TEST_F(InstallTest, SingleFilePackageIsCopiedToTheAppPath) {
  MakeFile(package_, "one file\n");
  MakeFile(drive_ + "/log/launcher.log", "");  // start-up has made the per-user folder
  TestService service;
  EXPECT_EQ(0, service.PrepareUserEnv());
  EXPECT_EQ("one file\n", qvtest::ReadFile(app_));
}

TEST_F(ServiceTest, AgedAppFolderIsRemovedAndDataKept) {
  const std::string legacy = base_ + "/.Skylodge";
  TestService service;
  service.RemoveAgedFolders();
  EXPECT_FALSE(Exists(legacy));

  MakeFile(legacy + "/app/bin/old", "old\n");
  MakeFile(legacy + "/data/user.db", "data\n");
  service.RemoveAgedFolders();
  EXPECT_FALSE(Exists(legacy + "/app"));
  EXPECT_EQ("data\n", qvtest::ReadFile(legacy + "/data/user.db"));
  EXPECT_EQ(2, CountLog("INFO cloud-service.cpp: removing aged app folder " + legacy + "/app"));
}

TEST_F(ServiceTest, MigrationMovesLegacyDataAndRemovesTheLegacyFolder) {
  const std::string legacy = base_ + "/.Skylodge";
  MakeFile(legacy + "/data/sub/user.db", "data\n");
  MakeFile(legacy + "/app/old", "old\n");
  TestService service;
  service.MigrateService();
  EXPECT_EQ("data\n", qvtest::ReadFile(drive_ + "/data/sub/user.db"));
  EXPECT_FALSE(Exists(legacy));

  // Without data to move, only the legacy folder goes.
  MakeFile(legacy + "/app/old", "old\n");
  service.MigrateService();
  EXPECT_FALSE(Exists(legacy));
  EXPECT_EQ("data\n", qvtest::ReadFile(drive_ + "/data/sub/user.db"));
  for (const std::string& line : Log()) EXPECT_EQ(std::string::npos, line.find("ERROR")) << line;
}

TEST_F(ServiceTest, FailedMigrationKeepsTheLegacyData) {
  const std::string legacy = base_ + "/.Skylodge";
  MakeFile(legacy + "/data/user.db", "legacy data\n");
  MakeFile(drive_ + "/data/other.db", "new data\n");  // a non-empty target cannot be replaced
  TestService service;
  service.MigrateService();
  EXPECT_EQ("legacy data\n", qvtest::ReadFile(legacy + "/data/user.db"));
  EXPECT_EQ("new data\n", qvtest::ReadFile(drive_ + "/data/other.db"));
  EXPECT_TRUE(HasLog("ERROR cloud-service.cpp: Failed to move data to Quenvale Drive folder"));
  EXPECT_FALSE(HasLog("ERROR cloud-service.cpp: Failed to remove old .Skylodge folder"));

  // The per-user folder cannot be made (a file stands where its parent should be): the
  // legacy folder is not touched.
  MakeFile(base_ + "/blocker", "a file in the way\n");
  UIPathManager::getInstance()->setPath("user_quenvale_drive_path",
                                        QString::fromStdString(base_ + "/blocker/.QuenvaleDrive"));
  service.MigrateService();
  EXPECT_EQ("legacy data\n", qvtest::ReadFile(legacy + "/data/user.db"));
  EXPECT_TRUE(HasLog("ERROR cloud-service.cpp: Failed to create Quenvale Drive folder"));
}

}  // namespace
