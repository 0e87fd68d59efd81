// Making folders: one level, a whole chain, and the part of a chain below a root.
#include <sys/stat.h>

#include "file/file-op.h"
#include "file_test_util.h"

using fileop_test::Exists;
using fileop_test::FileOpTest;
using fileop_test::ModeOf;
using fileop_test::UmaskScope;

namespace {

bool IsDir(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST_F(FileOpTest, MKDirOfWhatIsAlreadyThere) {
  ASSERT_EQ(0, mkdir(P("dir").c_str(), 0755));
  ASSERT_TRUE(qvtest::WriteFile(P("file"), "x"));
  ASSERT_EQ(0, symlink(P("dir").c_str(), P("link").c_str()));

  EXPECT_EQ(0, FSMKDir(P("dir"), false));
  EXPECT_EQ(0, FSMKDir(P("dir"), true));
  EXPECT_EQ(-1, FSMKDir(P("file"), true));
  EXPECT_TRUE(log_.Has(
      "ERROR", "FSMKDir: Create a folder but local file system is not directory '" + P("file") +
                   "' (1)\n"));
  EXPECT_EQ(-1, FSMKDir(P("link"), false));
  EXPECT_TRUE(log_.Has(
      "ERROR", "FSMKDir: Create a folder but local file system is not directory '" + P("link") +
                   "' (3)\n"));
  EXPECT_EQ(-1, FSMKDir("", true));
}

TEST_F(FileOpTest, MKDirMakesOneLevelOrAChain) {
  UmaskScope mask(027);
  EXPECT_EQ(0, FSMKDir(P("one"), false));
  EXPECT_EQ(0750u, ModeOf(P("one")));

  EXPECT_EQ(-2, FSMKDir(P("x/y/z"), false));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_TRUE(log_.Has("ERROR",
                       "path = " + P("x/y/z") + " errno : No such file or directory\n"));
  EXPECT_FALSE(Exists(P("x")));

  EXPECT_EQ(0, FSMKDir(P("x/y/z"), true));
  EXPECT_TRUE(IsDir(P("x/y/z")));
  EXPECT_EQ(0750u, ModeOf(P("x/y")));

  // With a regular file in place of y the first look already fails (ENOTDIR).
  ASSERT_EQ(0, mkdir(P("q").c_str(), 0755));
  ASSERT_TRUE(qvtest::WriteFile(P("q/y"), "x"));
  EXPECT_EQ(-1, FSMKDir(P("q/y/z"), true));
  EXPECT_TRUE(log_.Has("ERROR", "FSMKDir: Failed to to file info '" + P("q/y/z") + "'\n"));
}

TEST_F(FileOpTest, MKDirReportsACreationFailureOfTheChain) {
  ASSERT_EQ(0, mkdir(P("locked").c_str(), 0555));
  const std::string target = P("locked/a/b");
  int rc = qvtest::RunUnprivileged([&]() {
    CHILD_CHECK(10, FSMKDir(target, true) == -2);
    CHILD_CHECK(11, errno == EACCES);
    return 0;
  });
  EXPECT_EQ(0, rc);
  EXPECT_TRUE(log_.Has("ERROR", "path = " + target + " errno : Permission denied\n"));
}

TEST_F(FileOpTest, MKDirPStopsBelowAFileAndPointsAtTheFailure) {
  ASSERT_EQ(0, mkdir(P("x").c_str(), 0755));
  ASSERT_TRUE(qvtest::WriteFile(P("x/y"), "x"));
  ustring path = P("x/y/z").c_str();
  char* end = nullptr;
  EXPECT_EQ(-1, FSMKDirP(path, &end, false, static_cast<mode_t>(-1)));
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_EQ(path.c_str() + path.length(), end);
  EXPECT_TRUE(log_.Has("INFO",
                       "FSMKDirP: path: " + P("x/y") + " is symbolic link pointed to folder\n"));
  EXPECT_EQ("x", qvtest::ReadFile(P("x/y")));

  // The last prefix being a file is refused with EEXIST.
  ustring last = P("x/y").c_str();
  EXPECT_EQ(-1, FSMKDirP(last, &end, false, static_cast<mode_t>(-1)));
  EXPECT_EQ(EEXIST, errno);
  EXPECT_EQ(last.c_str() + last.length(), end);
  EXPECT_TRUE(log_.Has("INFO", "FSMKDirP: path: " + P("x/y") +
                                   " is existing file or symbolic link pointed to file\n"));
  EXPECT_EQ(-1, FSMKDirP("", nullptr, false, 0755));
}

TEST_F(FileOpTest, MKDirPWithAFinalSlashAndThroughLinks) {
  ASSERT_EQ(0, mkdir(P("real").c_str(), 0755));
  ASSERT_EQ(0, symlink("real", P("via").c_str()));
  ustring path = P("via/a/b/").c_str();
  char* end = nullptr;
  ASSERT_EQ(0, FSMKDirP(path, &end, false, static_cast<mode_t>(-1)));
  EXPECT_TRUE(IsDir(P("real/a/b")));
  ASSERT_NE(nullptr, end);
  EXPECT_EQ(path.c_str() + path.length() - 1, end);
  EXPECT_EQ('/', *end);

  // A relative chain is made from the current folder.
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
  ASSERT_EQ(0, chdir(dir_.c_str()));
  int rc = FSMKDirP("rel/one", nullptr, false, static_cast<mode_t>(-1));
  ASSERT_EQ(0, chdir(cwd));
  EXPECT_EQ(0, rc);
  EXPECT_TRUE(IsDir(P("rel/one")));
}

TEST_F(FileOpTest, MKDirPAppliesAnExplicitModeExactlyAndRestoresTheUmask) {
  UmaskScope mask(077);
  ASSERT_EQ(0, FSMKDirP(P("m/n"), nullptr, false, 0775));
  EXPECT_EQ(0775u, ModeOf(P("m")));
  EXPECT_EQ(0775u, ModeOf(P("m/n")));
  mode_t now = umask(077);
  EXPECT_EQ(077u, now);

  ASSERT_EQ(0, FSMKDirP(P("d/e"), nullptr, false, static_cast<mode_t>(-1)));
  EXPECT_EQ(0700u, ModeOf(P("d/e")));
}

TEST_F(FileOpTest, MKDirPForcedReplacesFilesInTheChain) {
  ASSERT_EQ(0, mkdir(P("x").c_str(), 0755));
  ASSERT_TRUE(qvtest::WriteFile(P("x/y"), "x"));
  ASSERT_TRUE(qvtest::WriteFile(P("target"), "t"));
  ASSERT_EQ(0, symlink(P("target").c_str(), P("x/to-file").c_str()));
  EXPECT_EQ(0, FSMKDirP(P("x/y/z"), nullptr, true, static_cast<mode_t>(-1)));
  EXPECT_TRUE(IsDir(P("x/y/z")));
  // A link to a file is replaced; the file it pointed to stays.
  EXPECT_EQ(0, FSMKDirP(P("x/to-file/sub"), nullptr, true, static_cast<mode_t>(-1)));
  EXPECT_TRUE(IsDir(P("x/to-file/sub")));
  EXPECT_EQ("t", qvtest::ReadFile(P("target")));
}

TEST_F(FileOpTest, MKDirFromRootMakesOnlyWhatLiesBelowTheRoot) {
  ASSERT_EQ(0, mkdir(P("root").c_str(), 0755));
  EXPECT_EQ(0, FSMKDirFromRoot(P("root/a/b/c"), P("root")));
  EXPECT_TRUE(IsDir(P("root/a/b/c")));
  EXPECT_TRUE(log_.Has("DEBUG", "FSMKDirFromRoot: create /a\n"));
  EXPECT_TRUE(log_.Has("DEBUG", "FSMKDirFromRoot: create /a/b\n"));
  EXPECT_TRUE(log_.Has("DEBUG", "FSMKDirFromRoot: create /a/b/c\n"));

  // Root equal to the path: nothing to make, even when the root is missing.
  EXPECT_EQ(0, FSMKDirFromRoot(P("none"), P("none")));
  EXPECT_FALSE(Exists(P("none")));

  // The root itself must exist: the first level is made without parents.
  EXPECT_EQ(-1, FSMKDirFromRoot(P("none/a"), P("none")));

  EXPECT_EQ(-1, FSMKDirFromRoot(P("r"), P("root")));
  EXPECT_TRUE(log_.Has("ERROR", "Giving a root '" + P("root") +
                                    "' whose length is larger then target's '" + P("r") + "'.\n"));
  EXPECT_EQ(-1, FSMKDirFromRoot(P("rootx/a"), P("root")));
  EXPECT_TRUE(log_.Has("ERROR", "root '" + P("root") + "' is not a parent folder of target '" +
                                    P("rootx/a") + "'\n"));
  EXPECT_EQ(-1, FSMKDirFromRoot(P("a"), "/"));
  EXPECT_TRUE(log_.Has("ERROR", "root '/' is not a parent folder of target '" + P("a") + "'\n"));

  // An empty root and an absolute path: the whole chain from the top.
  EXPECT_EQ(0, FSMKDirFromRoot(P("top/down"), ""));
  EXPECT_TRUE(IsDir(P("top/down")));
}

}  // namespace
