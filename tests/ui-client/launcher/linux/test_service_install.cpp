// Installing the package into the per-user app folder with backup and rollback, and the
// clean-up and migration of the legacy per-user folder.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "adapter.h"
#include "file/file-op.h"
#include "linux/copy-check.h"
#include "package-upgrade.h"
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
    return qvtest::ShellOutput("cd '" + dir + "' && find . -mindepth 1 -printf '%P %y %m %s %T@ %l\\n' | sort");
  }

  // What an upgrade may leave beside the app folder: staging, ready, backups, discard.
  std::string Leftovers() {
    return qvtest::ShellOutput("cd '" + drive_ + "' && ls -d QuenvaleDrive.app_* 2>/dev/null");
  }

  std::string Mode(const std::string& path) {
    return qvtest::ShellOutput("stat -c %a '" + path + "'");
  }

  std::string Staging() const { return GetAppStagingDir(ustring(app_)).c_str(); }
};

TEST_F(InstallTest, FirstInstallCopiesThePackageAndClearsALeftoverBackup) {
  MakePackage();
  MakeFile(app_ + "_tmp/stale", "from an interrupted run\n");
  TestService service;
  ASSERT_EQ(0, service.PrepareUserEnv());

  EXPECT_TRUE(SameTree(package_, app_));
  EXPECT_EQ("755\n", Mode(app_ + "/bin/cloud-drive-ui"));
  EXPECT_EQ("750\n", Mode(app_ + "/package/start-stop"));
  char link[64] = {};
  EXPECT_EQ(7, ::readlink((app_ + "/lib/info-link").c_str(), link, sizeof link - 1)) << "a link stays a link";
  EXPECT_STREQ("../INFO", link);
  service.PostUpgrade();
  EXPECT_EQ("", Leftovers());
  EXPECT_TRUE(HasLog("INFO cloud-service.cpp: copy package:'" + package_ + "' -> '" + Staging() + "' "));
  EXPECT_TRUE(HasLog("DEBUG cloud-service.cpp: copy from '" + package_ + "' to '" + Staging() + "'"));
  EXPECT_TRUE(HasLog("DEBUG cloud-service.cpp: copy from '" + package_ + "/lib/deep/er' to '" +
                     Staging() + "/lib/deep/er'"));
  EXPECT_TRUE(HasLog("INFO cloud-service.cpp: user installation is ready, removing backup app"));
  for (const std::string& line : Log()) EXPECT_EQ(std::string::npos, line.find("ERROR")) << line;
}

TEST_F(InstallTest, UpgradeOfALargePackageReplacesTheOldCopy) {
  // A few thousand files in nested folders, plus files that only the old copy has.
  ASSERT_EQ(0, qvtest::Shell("set -e; cd '" + root_ + "'; mkdir -p package/skylodge; cd package/skylodge;"
                             "for d in $(seq 1 40); do mkdir -p d$d/sub; for f in $(seq 1 50); do "
                             "echo \"$d $f\" > d$d/f$f; done; echo deep > d$d/sub/x; done"));
  // Entries dated after 2038, beyond a 32-bit time.
  ASSERT_EQ(0, qvtest::Shell("cd '" + package_ + "' && ln -s d1/f1 late-link && touch -h -d @4102444800 d2 d2/f2 late-link"));
  MakeInstalledCopy(app_, "20");
  MakeFile(app_ + "/only-in-old/file", "old\n");
  MakeFile(app_ + "/d1/f1", "old content\n");
  TestService service;
  ASSERT_EQ(0, service.PrepareUserEnv());
  EXPECT_TRUE(SameTree(package_, app_));
  service.PostUpgrade();
  EXPECT_EQ("", Leftovers());
}

// Looks at the disk while the package is being copied.
class ObservingService : public TestService {
 public:
  std::string app_seen;
  std::string app;

 protected:
  int CopyPackage() override {
    app_seen = qvtest::ReadFile(app + "/bin/cloud-drive-ui");
    return TestService::CopyPackage();
  }
};

TEST_F(InstallTest, OldCopyStaysInPlaceWhileTheCopyRunsAndLeftoverBackupsGo) {
  MakePackage();
  MakeInstalledCopy(app_, "20");
  MakeFile(app_ + "_tmp/stale", "from an interrupted run\n");
  MakeFile(app_ + "_tmp3/stale", "from another one\n");
  ObservingService service;
  service.app = app_;
  ASSERT_EQ(0, service.PrepareUserEnv());

  EXPECT_EQ("client 20\n", service.app_seen);
  EXPECT_TRUE(SameTree(package_, app_));
  // The name left by the interrupted run is passed over: no failure.
  EXPECT_FALSE(HasLog("ERROR cloud-service.cpp: failed to backup app from '" + app_ + "' -> '" + app_ + "_tmp'"));
  EXPECT_TRUE(HasLog("DEBUG cloud-service.cpp: '" + app_ + "_tmp' is taken, setting the old copy aside under the "
                     "next name"));
  // The backups are set aside at once and removed once the client has been started.
  EXPECT_EQ(drive_ + "/QuenvaleDrive.app_discard\n", qvtest::ShellOutput("ls -d '" + drive_ + "'/QuenvaleDrive.app_*"));
  EXPECT_EQ("QuenvaleDrive.app_tmp\nQuenvaleDrive.app_tmp1\nQuenvaleDrive.app_tmp3\n",
            qvtest::ShellOutput("ls '" + app_ + "_discard'"));
  service.PostUpgrade();
  EXPECT_EQ("", Leftovers());
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
  // Only running out of names is a failure.
  std::vector<std::string> expected;
  expected.push_back("ERROR cloud-service.cpp: failed to backup app from '" + app_ + "' -> '" +
                     app_ + "_tmp9' at max retries, exiting");
  std::vector<std::string> errors;
  for (const std::string& line : Log())
    if (line.rfind("ERROR", 0) == 0) errors.push_back(line);
  EXPECT_EQ(expected, errors);
}

TEST_F(InstallTest, CopyFailureLeavesTheOldCopyUntouched) {
  MakePackage();
  ASSERT_EQ(0, ::mkfifo((package_ + "/zz-fifo").c_str(), 0644));  // no package may hold one
  MakeInstalledCopy(app_, "20");
  MakeFile(app_ + "/lib/old.so", std::string(5000, 'o'));
  ::chmod((app_ + "/lib/old.so").c_str(), 0700);
  ASSERT_EQ(0, ::symlink("../INFO", (app_ + "/lib/info-link").c_str()));
  const std::string before = Snapshot(drive_);

  TestService service;
  EXPECT_EQ(-1, service.PrepareUserEnv());

  EXPECT_EQ(before, Snapshot(drive_));
  EXPECT_EQ("", Leftovers());
  EXPECT_TRUE(HasLog("ERROR cloud-service.cpp: FSCopyPath: failed to copy from '" + package_ +
                     "/zz-fifo' to '" + Staging() + "/zz-fifo': Invalid argument"));
  EXPECT_TRUE(HasLog("ERROR cloud-service.cpp: Failed to extract package, rollback to old installation"));
  EXPECT_FALSE(HasLog("INFO cloud-service.cpp: user installation is ready, removing backup app"));
}

// A package folder the user cannot read must not pass for an empty one: that would
// replace a working copy with a hollow one and delete the backup. The walk before the
// copy finds it; the copy itself refuses it too.
TEST_F(InstallTest, UnreadablePackageFolderRollsBack) {
  MakePackage();
  ::chmod((package_ + "/package/start-stop").c_str(), 0755);
  ::chmod((package_ + "/lib/deep").c_str(), 0700);  // root's alone
  MakeInstalledCopy(app_, "20");
  ASSERT_EQ(0, qvtest::Shell("chown -R " + std::to_string(qvtest::UnprivilegedUid()) + ":" +
                             std::to_string(qvtest::UnprivilegedGid()) + " '" + base_ + "'"));
  const std::string before = Snapshot(app_);
  const std::string elsewhere = base_ + "/elsewhere";

  const int rc = qvtest::RunUnprivileged([this, &elsewhere] {
    TestService service;
    CHILD_CHECK(1, service.PrepareUserEnv() == -1);
    CHILD_CHECK(2, service.FSCopyPath(ustring(package_.c_str()), ustring(elsewhere.c_str())) == -1);
    return 0;
  });

  EXPECT_EQ(0, rc);
  EXPECT_EQ(before, Snapshot(app_));
  EXPECT_EQ("", Leftovers());
  EXPECT_TRUE(HasLog("ERROR package-upgrade.cpp: failed to list the package '" + package_ + "' (cannot open '" +
                     package_ + "/lib/deep': Permission denied)"));
  EXPECT_TRUE(HasLog("WARNING cloud-service.cpp: FSCopyPath: failed to create handle  for src '" +
                     package_ + "/lib/deep' failed"));
}

TEST_F(InstallTest, MissingPackageRollsBack) {
  MakeInstalledCopy(app_, "20");
  const std::string before = Snapshot(app_);
  TestService service;
  EXPECT_EQ(-1, service.PrepareUserEnv());
  EXPECT_EQ(before, Snapshot(app_));
  EXPECT_EQ("", Leftovers());
  EXPECT_TRUE(HasLog("ERROR cloud-service.cpp: FSCopyPath: source path '" + package_ +
                     "' does not exist"));
  EXPECT_TRUE(HasLog("ERROR cloud-service.cpp: Failed to extract package, rollback to old installation"));
}

TEST_F(InstallTest, FailedFirstInstallLeavesNothingBehind) {
  MakePackage();
  ASSERT_EQ(0, ::mkfifo((package_ + "/zz-fifo").c_str(), 0644));
  TestService service;
  EXPECT_EQ(-1, service.PrepareUserEnv());
  EXPECT_FALSE(Exists(app_)) << "a half copy must never stand where the client is started from";
  EXPECT_EQ("", Leftovers());
  EXPECT_TRUE(HasLog(
      "ERROR cloud-service.cpp: Failed to extract package, and no old installation to rollback"));
}

// Copies, then leaves no descriptor free until Restore: the listing of the package that
// follows fails.
class OutOfDescriptorsService : public TestService {
 public:
  void Restore() { ::setrlimit(RLIMIT_NOFILE, &before_); }

 protected:
  int CopyPackage() override {
    const int rc = TestService::CopyPackage();
    const int lowest_free = ::dup(0);
    ::close(lowest_free);
    ::getrlimit(RLIMIT_NOFILE, &before_);
    struct rlimit limit = before_;
    limit.rlim_cur = static_cast<rlim_t>(lowest_free);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    return rc;
  }

 private:
  struct rlimit before_ = {};
};

// A listing that fails is no change of the package: it is reported with the system's
// reason, and the copy is dropped all the same.
TEST_F(InstallTest, AFailedListingAfterTheCopyIsAnErrorNotAChange) {
  MakePackage();
  MakeInstalledCopy(app_, "20");
  const std::string before = Snapshot(app_);
  EXPECT_EQ(0, qvtest::RunInChild([] {
    OutOfDescriptorsService service;
    const int rc = service.PrepareUserEnv();
    // The sanitizers need descriptors of their own for their checks.
    service.Restore();
    return rc == -1 ? 0 : 1;
  }));
  EXPECT_EQ(before, Snapshot(app_));
  EXPECT_TRUE(HasLog("ERROR cloud-service.cpp: failed to check the package '" + package_ + "' after the copy (cannot open '" +
                     package_ + "': Too many open files), the copy is not used"));
  EXPECT_TRUE(HasLog("ERROR cloud-service.cpp: Failed to extract package, rollback to old installation"));
  for (const std::string& line : Log()) EXPECT_EQ(std::string::npos, line.find("changed")) << line;
}

TEST_F(InstallTest, SingleFilePackageIsCopiedToTheAppPath) {
  MakeFile(package_, "one file\n");
  MakeFile(drive_ + "/log/launcher.log", "");  // start-up has made the per-user folder
  TestService service;
  EXPECT_EQ(0, service.PrepareUserEnv());
  EXPECT_EQ("one file\n", qvtest::ReadFile(app_));
}

// What a start finds after an upgrade was cut short, by this launcher or by one that
// copied straight into the app folder, and what it makes of it before deciding.
TEST_F(InstallTest, InterruptedUpgradesAreRecoveredAtStart) {
  MakePackage();
  MakeFile(root_ + "/INFO", "[Version]\nbuild_version=30\n");
  const std::string partial_new = qvtest::MakeTempDir("partial");
  MakeFile(partial_new + "/INFO", "[Version]\nbuild_version=30\n");
  MakeFile(partial_new + "/bin/cloud-drive-ui", "new client\n");
  ::chmod((partial_new + "/bin/cloud-drive-ui").c_str(), 0755);
  const std::string old_copy = qvtest::MakeTempDir("old");
  MakeInstalledCopy(old_copy, "20");
  auto put = [&](const std::string& from, const std::string& to) {
    ASSERT_EQ(0, qvtest::Shell("cp -a '" + from + "' '" + to + "'"));
  };

  struct Case {
    const char* what;
    std::function<void()> leave;
    std::string app_build;  // build at the app path after the start
    bool upgrade;           // what the decision says then
    std::string restored_from;
  };
  const std::vector<Case> cases = {
      {"swap of another run cut between its two renames",
       [&] { put(old_copy, app_ + "_tmp"); put(package_, app_ + "_ready.0123456789abcdef"); }, "30", false,
       app_ + "_ready.0123456789abcdef"},
      {"old copy set aside, nothing copied yet", [&] { put(old_copy, app_ + "_tmp"); }, "20", true,
       app_ + "_tmp"},
      {"copy into the app folder cut short, old copy in a backup",
       [&] { put(partial_new, app_); put(old_copy, app_ + "_tmp"); }, "30", true, ""},
      {"current copy beside a half-written stage, a ready copy and a discard folder",
       [&] {
         put(package_, app_);
         put(partial_new, app_ + "_staging.dead1");
         put(partial_new, app_ + "_staging");  // an older launcher's name
         put(package_, app_ + "_ready.dead2");
         MakeFile(app_ + "_discard/QuenvaleDrive.app_tmp/x", "going\n");
       },
       "30", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(0, FSRemove(drive_, false));
    ASSERT_EQ(0, FSMKDir(drive_, true));
    c.leave();
    NewLog();
    TestService service;
    service.PreUpgrade();
    EXPECT_EQ(c.upgrade, service.IsNeedUpgrade());
    EXPECT_EQ(c.app_build, svctest::BuildIn(app_ + "/INFO"));
    if (!c.restored_from.empty()) {
      EXPECT_TRUE(HasLog("INFO package-upgrade.cpp: restored '" + app_ + "' from '" + c.restored_from +
                         "', left by an interrupted upgrade"));
    }
    if (!c.upgrade) {
      EXPECT_EQ("", Leftovers());
      continue;
    }
    // The upgrade that follows leaves the package in place and nothing beside it.
    EXPECT_EQ(0, service.HandlePackageUpgrade());
    service.PostUpgrade();
    EXPECT_TRUE(SameTree(package_, app_));
    EXPECT_EQ("", Leftovers());
  }
  for (const char* name : {"_staging.dead1", "_staging", "_ready.dead2"}) {
    EXPECT_TRUE(HasLog("INFO package-upgrade.cpp: removing '" + app_ + name + "', left by an interrupted upgrade"));
  }
  EXPECT_TRUE(HasLog("INFO package-upgrade.cpp: removing '" + app_ + "_discard', left by an interrupted upgrade"));
}

// Two walks of a package agree exactly when nothing in it changed between them,
// whichever way a package upgrade changes a file; what differs first is named.
TEST_F(InstallTest, PackageWalksTellEveryChange) {
  MakePackage();
  MakeFile(root_ + "/INFO", "[Version]\nbuild_version=30\n");
  const std::string info = root_ + "/INFO";
  const PackageSize before = MeasurePackage(package_, info, 4096);
  EXPECT_EQ("", PackageChange(before, MeasurePackage(package_, info, 1)));
  EXPECT_EQ(6u, before.files);  // the link counts as a file, the folders do not

  // A file replaced by a rename, even with the same content, shows on its folder first.
  const std::vector<std::pair<std::string, std::function<void()>>> changes = {
      {"'bin' changed",
       [&] {
         MakeFile(package_ + "/bin/cloud-drive-ui.dpkg-new", "new client\n");
         ::rename((package_ + "/bin/cloud-drive-ui.dpkg-new").c_str(), (package_ + "/bin/cloud-drive-ui").c_str());
       }},
      {"'lib/deep/er/data.bin' changed", [&] { qvtest::Shell("printf y >> '" + package_ + "/lib/deep/er/data.bin'"); }},
      {"'empty' changed", [&] { ::chmod((package_ + "/empty").c_str(), 0600); }},
      {"'lib' changed", [&] { ::unlink((package_ + "/lib/info-link").c_str()); }},
      // A name that came and went leaves its trace on the folder.
      {"'package' changed",
       [&] {
         MakeFile(package_ + "/package/x.dpkg-new", "");
         ::unlink((package_ + "/package/x.dpkg-new").c_str());
       }},
      {"'../INFO' changed", [&] { MakeFile(info, "[Version]\nbuild_version=31\n"); }},
  };
  for (const auto& change : changes) {
    const PackageSize was = MeasurePackage(package_, info, 1);
    // Time stamps are coarse: let the clock move on before the change.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    change.second();
    EXPECT_EQ(change.first, PackageChange(was, MeasurePackage(package_, info, 1)));
  }

  PackageSize fewer = before;
  fewer.entries.erase(fewer.entries.begin() + 2);
  const std::string name = "'" + before.entries[2].path + "'";
  EXPECT_EQ(name + " vanished", PackageChange(before, fewer));
  EXPECT_EQ(name + " appeared", PackageChange(fewer, before));
}

TEST(CopyProgressTest, SharesAreComputedIn64BitsAndThrottled) {
  std::vector<std::pair<int, int>> reports;
  QObject::connect(&Notify_Adapter::GetInstance(), &Notify_Adapter::sigUpdateProgress,
                   [&reports](int total, int done) { reports.emplace_back(total, done); });
  const uint64_t gib = 1ull << 30;
  {
    CopyProgress progress(6 * gib);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    progress.Add(3 * gib);
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(std::make_pair(10000, 5000), reports[0]);

    // A burst of small steps reports at most once per 50 ms; the last step always does.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3000; ++i) progress.Add(gib / 1000);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(reports.size(), 2u + static_cast<size_t>(ms / 50));
    progress.Add(6 * gib);  // more than the total: capped
    EXPECT_EQ(std::make_pair(10000, 10000), reports.back());
  }
  for (size_t i = 1; i < reports.size(); ++i) EXPECT_LT(reports[i - 1].second, reports[i].second);
  QObject::disconnect(&Notify_Adapter::GetInstance(), &Notify_Adapter::sigUpdateProgress, nullptr, nullptr);
}

// A copy is damaged where an entry of the package differs in type, mode, size or link
// target; what the client adds, and contents of the same size, are not looked at.
TEST_F(InstallTest, ACopyDiffersFromItsPackageOnlyWhereAnEntryOfThePackageChanged) {
  MakeInstalledCopy(package_, "7");
  ASSERT_EQ(0, qvtest::Shell("cd '" + package_ + "' && ln -s bin/cloud-drive-ui current && mkdir -p lib/x '" + drive_ + "' && "
                             "cp -a '" + package_ + "' '" + app_ + "'"));
  EXPECT_TRUE(CheckCopy(package_, app_).Same());
  ASSERT_EQ(0, qvtest::Shell("cd '" + app_ + "' && echo cache > lib/x/own && echo 'CLIENT 7' > bin/cloud-drive-ui"));
  EXPECT_TRUE(CheckCopy(package_, app_).Same());

  ASSERT_EQ(0, qvtest::Shell("cd '" + app_ + "' && chmod 644 bin/cloud-drive-ui && ln -sfn INFO current && "
                             "rm -r lib/x && echo x > lib/x && echo more >> package/start-stop"));
  const CopyCheck check = CheckCopy(package_, app_, 2);
  EXPECT_EQ((std::vector<std::string>{"bin/cloud-drive-ui", "current", "lib/x", "package/start-stop"}), check.paths);
  EXPECT_EQ("'bin/cloud-drive-ui' has mode 0644, not 0755, 'current' leads to 'INFO', not 'bin/cloud-drive-ui' and 2 more",
            DescribeDifferences(check));
  EXPECT_EQ(Fingerprint(check), Fingerprint(CheckCopy(package_, app_)));
  EXPECT_EQ("'lib/x' is a file, not a folder", CheckCopy(package_, app_, 3).first[2]);
  EXPECT_NE("", CheckCopy(root_ + "/none", app_).error);
}

TEST_F(ServiceTest, AgedAppFolderIsRemovedAndDataKept) {
  const std::string legacy = base_ + "/.Skylodge";
  TestService service;
  service.RemoveAgedFolders();
  EXPECT_FALSE(Exists(legacy));

  // Dated after 2038, which a 32-bit time cannot hold.
  MakeFile(legacy + "/app/bin/old", "old\n");
  MakeFile(legacy + "/data/user.db", "data\n");
  ASSERT_EQ(0, qvtest::Shell("touch -d @4102444800 '" + legacy + "/app/bin/old' '" + legacy + "/app/bin' '" + legacy + "/app'"));
  service.RemoveAgedFolders();
  EXPECT_FALSE(Exists(legacy + "/app"));
  EXPECT_EQ("data\n", qvtest::ReadFile(legacy + "/data/user.db"));
  EXPECT_EQ(2, CountLog("INFO cloud-service.cpp: removing aged app folder " + legacy + "/app"));

  // A clean-up that fails says where and why.
  ASSERT_EQ(0, qvtest::Shell("rm -r '" + legacy + "' && echo >'" + legacy + "'"));
  service.RemoveAgedFolders();
  EXPECT_EQ(1, CountLog("ERROR cloud-service.cpp: failed to remove aged app folder '" + legacy + "/app': Not a directory"));
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
