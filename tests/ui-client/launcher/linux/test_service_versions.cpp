// The upgrade decision from the two INFO records, and the base folder of the per-user
// paths chosen from the desktop.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "service_fixture.h"

namespace {

using svctest::ServiceTest;
using svctest::TestService;

class VersionTest : public ServiceTest {
 protected:
  // nullptr stands for a missing file.
  bool NeedUpgrade(const char* source_info, const char* target_info, bool client_exists) {
    qvtest::Shell("rm -rf '" + app_ + "' '" + root_ + "/INFO'");
    if (source_info) MakeFile(app_ + "/INFO", source_info);
    if (target_info) MakeFile(root_ + "/INFO", target_info);
    if (client_exists) MakeFile(app_ + "/bin/cloud-drive-ui", "client\n");
    TestService service;
    service.PreUpgrade();
    return service.IsNeedUpgrade();
  }
};

TEST_F(VersionTest, DecisionComparesBuildNumbersAndChecksTheClient) {
  struct Case {
    const char* name;
    const char* source;
    const char* target;
    bool client;
    bool expected;
  };
  const Case cases[] = {
      {"source without build", "[Version]\nmajor_version=3\n", "[Version]\nbuild_version=20\n",
       true, true},
      {"equal builds", "[Version]\nbuild_version=20\n", "[Version]\nbuild_version=20\n", true,
       false},
      {"equal builds, client missing", "[Version]\nbuild_version=20\n",
       "[Version]\nbuild_version=20\n", false, true},
      {"no downgrade", "[Version]\nbuild_version=21\n", "[Version]\nbuild_version=20\n", true,
       false},
      {"trailing letters ignored", "[Version]\nbuild_version=42abc\n",
       "[Version]\nbuild_version=42\n", true, false},
      {"trailing letters, newer target", "[Version]\nbuild_version=42abc\n",
       "[Version]\nbuild_version=43\n", true, true},
      {"leading letter reads 0", "[Version]\nbuild_version=abc\n",
       "[Version]\nbuild_version=1\n", true, true},
      {"first installation", nullptr, "[Version]\nbuild_version=20\n", true, true},
      {"no target record", "[Version]\nbuild_version=20\n", nullptr, true, false},
      {"no records, client missing", nullptr, nullptr, false, true},
      {"other sections ignored", "[Version]\nbuild_version=5\n[Other]\nbuild_version=1\n",
       "[Other]\nbuild_version=99\n[Version]\nbuild_version=5\n", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.expected, NeedUpgrade(c.source, c.target, c.client));
  }
}

TEST_F(VersionTest, RecordsAreLoggedTargetFirst) {
  MakeFile(app_ + "/INFO",
           "[Version]\nmajor_version=3\nminor_version=1\nbuild_version=20\n"
           "icon_overlay_version=2\n");
  MakeFile(root_ + "/INFO",
           "[Version]\nmajor_version=3\nminor_version=2\nbuild_version=25\n"
           "icon_overlay_version=\xC3\xBC" "1\n");
  MakeFile(app_ + "/bin/cloud-drive-ui", "client\n");
  TestService service;
  service.PreUpgrade();
  EXPECT_TRUE(service.IsNeedUpgrade());
  EXPECT_EQ("\xC3\xBC" "1", std::string(service.target_version.icon_overlay_version.c_str()));

  const std::vector<std::string> expected = {
      "INFO cloud-service.cpp: target_version = (3, 2, 25, \xC3\xBC" "1)",
      "INFO cloud-service.cpp: source_version = (3, 1, 20, 2)",
      "DEBUG linux/linux-service.cpp: Source version: ('20', '2')",
      "DEBUG linux/linux-service.cpp: Target version: ('25', '\xC3\xBC" "1')",
      "DEBUG linux/linux-service.cpp: source version = 20, target version = 25",
  };
  EXPECT_EQ(expected, Log());
}

// A package upgrade may put a record of another build in place with the same size and
// time as the one before (both builds made from one commit date): it is read afresh.
TEST_F(VersionTest, ARecordReplacedByOneOfEqualSizeAndTimeIsReadAfresh) {
  auto put = [this](const std::string& info, const std::string& build, const struct timespec& time) {
    MakeFile(info + ".new", "[Version]\nbuild_version=" + build + "\n");
    const struct timespec times[2] = {time, time};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, (info + ".new").c_str(), times, 0));
    ASSERT_EQ(0, ::rename((info + ".new").c_str(), info.c_str()));
  };
  const struct timespec when = {1700000000, 0};
  put(app_ + "/INFO", "1001", when);
  put(root_ + "/INFO", "1001", when);
  MakeFile(app_ + "/bin/cloud-drive-ui", "client\n");
  TestService service;
  service.PreUpgrade();
  EXPECT_FALSE(service.IsNeedUpgrade());

  put(root_ + "/INFO", "1002", when);
  service.PreUpgrade();
  EXPECT_EQ("1002", std::string(service.target_version.build_version.c_str()));
  EXPECT_TRUE(service.IsNeedUpgrade());
  put(app_ + "/INFO", "1003", when);
  service.PreUpgrade();
  EXPECT_EQ("1003", std::string(service.source_version.build_version.c_str()));
  EXPECT_FALSE(service.IsNeedUpgrade());
}

// A pipe or an endless device in the copy's place of INFO neither holds the launcher up
// nor passes for a record: the copy is installed again.
TEST_F(VersionTest, ARecordThatIsAPipeOrADeviceIsNoRecord) {
  MakeFile(root_ + "/INFO", "[Version]\nbuild_version=1002\n");
  MakeFile(app_ + "/bin/cloud-drive-ui", "client\n");
  for (const std::string& make : {"mkfifo '" + app_ + "/INFO'", "ln -s /dev/zero '" + app_ + "/INFO'"}) {
    SCOPED_TRACE(make);
    ASSERT_EQ(0, qvtest::Shell("rm -f '" + app_ + "/INFO' && " + make));
    TestService service;
    service.PreUpgrade();
    EXPECT_EQ("", std::string(service.source_version.build_version.c_str()));
    EXPECT_TRUE(service.IsNeedUpgrade());
  }
}

// Short of descriptors (`ulimit -n 8`), from none to spare to enough: the upgrade is
// decided, or an ERROR says why not. A record that its parser cannot open is no record.
TEST_F(VersionTest, RecordsThatCannotBeReadForWantOfDescriptorsAreSaid) {
  MakeFile(app_ + "/INFO", "[Version]\nbuild_version=20\n");
  MakeFile(root_ + "/INFO", "[Version]\nbuild_version=21\n");
  MakeFile(app_ + "/bin/cloud-drive-ui", "client\n");
  int decided = 0;
  for (int spare = 0; spare < 8; ++spare) {
    SCOPED_TRACE(spare);
    NewLog();
    const int upgrade = qvtest::RunInChild([spare] {
      TestService service;
      struct rlimit before, limit;
      ::getrlimit(RLIMIT_NOFILE, &before);
      limit = before;
      const int lowest_free = ::dup(0);
      ::close(lowest_free);
      limit.rlim_cur = static_cast<rlim_t>(lowest_free + spare);
      ::setrlimit(RLIMIT_NOFILE, &limit);
      service.PreUpgrade();
      const bool upgrade = service.IsNeedUpgrade();
      // The sanitizers need descriptors of their own for their checks.
      ::setrlimit(RLIMIT_NOFILE, &before);
      return upgrade ? 1 : 0;
    });
    decided += upgrade;
    int said = 0;
    for (const std::string& line : Log()) {
      said += line.rfind("ERROR cloud-service.cpp: cannot read '", 0) == 0 &&
              line.find("/INFO': Too many open files, the copy in use stays until the next start") != std::string::npos;
    }
    EXPECT_EQ(upgrade == 0, said > 0);
  }
  EXPECT_GT(decided, 0);
}

TEST_F(VersionTest, MissingRecordsAreLoggedAsSuch) {
  TestService service;
  service.PreUpgrade();
  EXPECT_TRUE(service.IsNeedUpgrade());
  const std::vector<std::string> expected = {
      "INFO cloud-service.cpp: target_version = (, , , )",
      "INFO cloud-service.cpp: source does not exist",
      "DEBUG linux/linux-service.cpp: Source version: ('', '')",
      "DEBUG linux/linux-service.cpp: Target version: ('', '')",
      "DEBUG linux/linux-service.cpp: source version = 0, target version = 0",
  };
  EXPECT_EQ(expected, Log());
}

TEST_F(ServiceTest, InstallBaseFollowsTheDesktop) {
  struct Case {
    const char* desktop;    // nullptr: not set
    const char* data_home;  // nullptr: not set
    bool use_data_home;
    std::vector<std::string> log;
  };
  const std::string home = qvtest::SandboxRoot() + "/home";
  const Case cases[] = {
      {nullptr, "/data/u1", false, {"DEBUG cloud-service.cpp: Current Desktop is ubuntu:GNOME"}},
      {"Deepin", "/data/u1", true,
       {"DEBUG cloud-service.cpp: Current Desktop is Deepin",
        "DEBUG cloud-service.cpp: user install path is /data/u1"}},
      {"Deepin", nullptr, false,
       {"DEBUG cloud-service.cpp: Current Desktop is Deepin",
        "DEBUG cloud-service.cpp: user install path is "}},
      {"Deepin", "", false,
       {"DEBUG cloud-service.cpp: Current Desktop is Deepin",
        "DEBUG cloud-service.cpp: user install path is "}},
      {"deepin", "/data/u1", false, {"DEBUG cloud-service.cpp: Current Desktop is deepin"}},
      {"Deepin:GNOME", "/data/u1", false,
       {"DEBUG cloud-service.cpp: Current Desktop is Deepin:GNOME"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.desktop ? c.desktop : "(unset)");
    NewLog();
    if (c.desktop) ::setenv("XDG_CURRENT_DESKTOP", c.desktop, 1);
    else ::unsetenv("XDG_CURRENT_DESKTOP");
    if (c.data_home) ::setenv("XDG_DATA_HOME", c.data_home, 1);
    else ::unsetenv("XDG_DATA_HOME");

    const QString base = Service::GetUserInstallPath();
    EXPECT_EQ(c.use_data_home ? QString("/data/u1") : QString::fromStdString(home), base);
    EXPECT_EQ(c.log, Log());
  }
  ::unsetenv("XDG_CURRENT_DESKTOP");
  ::setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
}

}  // namespace
