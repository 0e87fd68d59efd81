// Moving and removing files and trees; temporary names, times, links and owners.
#include <sys/stat.h>
#include <sys/time.h>

#include <set>

#include "file/file-op.h"
#include "file_test_util.h"

using fileop_test::Exists;
using fileop_test::FileOpTest;
using fileop_test::ModeOf;

namespace {

TEST_F(FileOpTest, RenameOnOneFileSystem) {
  ASSERT_TRUE(qvtest::WriteFile(P("a"), "a"));
  EXPECT_EQ(-1, FSRename("", P("b"), false));
  EXPECT_EQ(-1, FSRename(P("a"), "", false));
  EXPECT_EQ(-2, FSRename(P("absent"), P("b"), false));
  EXPECT_EQ(-2, FSRename(P("a/below"), P("b"), false)) << "a source that cannot be described";

  EXPECT_EQ(0, FSRename(P("a"), P("b"), false));
  EXPECT_FALSE(Exists(P("a")));
  EXPECT_EQ("a", qvtest::ReadFile(P("b")));

  // A dangling link exists, and moves as a link.
  ASSERT_EQ(0, symlink("nowhere", P("dangling").c_str()));
  EXPECT_EQ(0, FSRename(P("dangling"), P("moved-link"), false));
  EXPECT_EQ(FT_SLINK, [&] { FILE_INFO i; GetFileInfo(P("moved-link"), i); return i.type; }());

  EXPECT_EQ(-100, FSRename(P("b"), P(std::string(300, 'n')), false));
  EXPECT_TRUE(Exists(P("b")));

  ASSERT_EQ(0, mkdir(P("d1").c_str(), 0755));
  ASSERT_EQ(0, mkdir(P("d2").c_str(), 0755));
  ASSERT_TRUE(qvtest::WriteFile(P("d2/keep"), "k"));
  EXPECT_EQ(-3, FSRename(P("d1"), P("d2"), false)) << "onto a folder that is not empty";
  EXPECT_EQ("k", qvtest::ReadFile(P("d2/keep")));
}

// Moves between the work folder and a tmpfs: files are copied and deleted, folders
// rebuilt, and what cannot be copied (a link) stops the move.
TEST_F(FileOpTest, RenameAcrossFileSystems) {
  ASSERT_EQ(0, mkdir(P("other").c_str(), 0755));
  ASSERT_TRUE(qvtest::WriteFile(P("file"), "file content"));
  ASSERT_EQ(0, chmod(P("file").c_str(), 0600));
  ASSERT_EQ(0, FSMKDirP(P("tree/a/b"), nullptr, false, 0700));
  ASSERT_EQ(0, mkdir(P("tree/empty").c_str(), 0755));
  ASSERT_TRUE(qvtest::WriteFile(P("tree/top"), "top"));
  ASSERT_TRUE(qvtest::WriteFile(P("tree/a/b/deep"), "deep"));
  ASSERT_EQ(0, chmod(P("tree/a/b/deep").c_str(), 0755));
  ASSERT_EQ(0, symlink("file", P("link").c_str()));
  ASSERT_EQ(0, FSMKDirP(P("mixed/sub"), nullptr, false, static_cast<mode_t>(-1)));
  ASSERT_EQ(0, symlink("x", P("mixed/sub/link").c_str()));
  ASSERT_EQ(0, mkdir(P("third").c_str(), 0755));
  ASSERT_TRUE(qvtest::WriteFile(P("third/top"), "ours"));
  const std::string d = dir_;

  int rc = fileop_test::RunWithTmpfs(P("other"), "4m", [&]() {
    umask(022);
    // A file: content moved, mode 0666 less the umask, origin gone.
    CHILD_CHECK(10, FSRename(d + "/file", d + "/other/file", false) == 0);
    CHILD_CHECK(11, qvtest::ReadFile(d + "/other/file") == "file content");
    CHILD_CHECK(12, ModeOf(d + "/other/file") == 0644);
    CHILD_CHECK(13, !Exists(d + "/file"));

    // A folder: rebuilt folder by folder, every file moved, the source removed.
    CHILD_CHECK(19, mkdir((d + "/other/x").c_str(), 0755) == 0);
    CHILD_CHECK(20, FSRename(d + "/tree", d + "/other/x/tree", false) == 0);
    CHILD_CHECK(21, qvtest::ReadFile(d + "/other/x/tree/top") == "top");
    CHILD_CHECK(22, qvtest::ReadFile(d + "/other/x/tree/a/b/deep") == "deep");
    CHILD_CHECK(23, ModeOf(d + "/other/x/tree/a/b/deep") == 0644);
    CHILD_CHECK(24, ModeOf(d + "/other/x/tree/a") == 0755);
    CHILD_CHECK(25, Exists(d + "/other/x/tree/empty"));
    CHILD_CHECK(26, !Exists(d + "/tree"));

    // A link cannot be moved this way; neither can a folder holding one.
    CHILD_CHECK(30, FSRename(d + "/link", d + "/other/link", false) == -3);
    CHILD_CHECK(31, Exists(d + "/link"));
    CHILD_CHECK(32, FSRename(d + "/mixed", d + "/other/mixed", false) == -3);
    CHILD_CHECK(33, Exists(d + "/mixed/sub/link"));

    // A folder that already holds something is not merged into, as rename would not.
    CHILD_CHECK(35, FSMKDirP(d + "/other/full", nullptr, false, 0755) == 0);
    CHILD_CHECK(36, qvtest::WriteFile(d + "/other/full/top", "theirs"));
    CHILD_CHECK(37, FSRename(d + "/third", d + "/other/full", false) == -3);
    CHILD_CHECK(38, qvtest::ReadFile(d + "/other/full/top") == "theirs");
    CHILD_CHECK(39, qvtest::ReadFile(d + "/third/top") == "ours");

    // And back again onto the work folder.
    CHILD_CHECK(40, FSRename(d + "/other/file", d + "/back", false) == 0);
    CHILD_CHECK(41, qvtest::ReadFile(d + "/back") == "file content");
    return 0;
  });
  if (rc == fileop_test::kMountRefused) {
    GTEST_SKIP() << "mounting a tmpfs in a private mount namespace was refused";
  }
  EXPECT_EQ(0, rc);
}

TEST_F(FileOpTest, RemoveTreesOfEveryKindWithoutFollowingLinks) {
  EXPECT_EQ(0, FSRemove(P("absent"), false));
  EXPECT_EQ(-1, FSRemove("", false));
  ASSERT_TRUE(qvtest::WriteFile(P("plain"), "x"));
  EXPECT_EQ(-1, FSRemove(P("plain/below"), false));

  ASSERT_EQ(0, mkdir(P("outside").c_str(), 0755));
  ASSERT_TRUE(qvtest::WriteFile(P("outside/keep"), "keep"));
  ASSERT_EQ(0, FSMKDirP(P("t/a/b/c"), nullptr, false, static_cast<mode_t>(-1)));
  ASSERT_TRUE(qvtest::WriteFile(P("t/a/b/c/f"), "f"));
  ASSERT_TRUE(qvtest::WriteFile(P("t/a/g"), "g"));
  ASSERT_EQ(0, symlink(P("outside").c_str(), P("t/a/to-folder").c_str()));
  ASSERT_EQ(0, symlink("nowhere", P("t/dangling").c_str()));
  ASSERT_EQ(0, link(P("outside/keep").c_str(), P("t/hard").c_str()));
  ASSERT_EQ(0, mkfifo(P("t/fifo").c_str(), 0600));
  ASSERT_TRUE(fileop_test::MakeSocket(P("t/sock")));
  ASSERT_EQ(0, chmod(P("t/a/b").c_str(), 0500)) << "read-only folders are no obstacle to root";

  if (getuid() == 0) {
    EXPECT_EQ(0, FSRemove(P("t"), false));
    EXPECT_FALSE(Exists(P("t")));
  } else {
    ASSERT_EQ(0, chmod(P("t/a/b").c_str(), 0755));
    EXPECT_EQ(0, FSRemove(P("t"), false));
  }
  EXPECT_EQ("keep", qvtest::ReadFile(P("outside/keep")));

  // A link to a folder given as the path: only the link goes.
  ASSERT_EQ(0, symlink(P("outside").c_str(), P("alias").c_str()));
  EXPECT_EQ(0, FSRemove(P("alias"), false));
  EXPECT_FALSE(Exists(P("alias")));
  EXPECT_TRUE(Exists(P("outside/keep")));
  // Also when it is written with a final slash, which would make the system follow it.
  ASSERT_EQ(0, symlink(P("outside").c_str(), P("alias").c_str()));
  EXPECT_EQ(0, FSRemove(P("alias//"), false));
  EXPECT_FALSE(Exists(P("alias")));
  EXPECT_EQ("keep", qvtest::ReadFile(P("outside/keep")));
  // A real folder written with a final slash is removed as usual.
  ASSERT_EQ(0, FSMKDirP(P("slashed/in"), nullptr, false, static_cast<mode_t>(-1)));
  EXPECT_EQ(0, FSRemove(P("slashed/"), false));
  EXPECT_FALSE(Exists(P("slashed")));
}

// A folder that cannot be opened stops the walk with -3; it and everything above it
// stay, and what was not reached is kept.
TEST_F(FileOpTest, RemoveStopsAtAFolderItCannotOpen) {
  const uid_t nobody = qvtest::UnprivilegedUid();
  const gid_t nogroup = qvtest::UnprivilegedGid();
  ASSERT_EQ(0, FSMKDirP(P("t/locked/inner"), nullptr, false, static_cast<mode_t>(-1)));
  ASSERT_TRUE(qvtest::WriteFile(P("t/locked/inner/f"), "f"));
  ASSERT_TRUE(qvtest::WriteFile(P("t/locked/g"), "g"));
  for (const char* p : {"t", "t/locked", "t/locked/inner", "t/locked/inner/f", "t/locked/g"}) {
    ASSERT_EQ(0, lchown(P(p).c_str(), nobody, nogroup)) << p;
  }
  ASSERT_EQ(0, chmod(P("t/locked").c_str(), 0300));  // writable, not readable
  const std::string top = P("t");
  int rc = qvtest::RunUnprivileged([&]() { return -FSRemove(top, false); });
  EXPECT_EQ(3, rc);
  EXPECT_TRUE(Exists(P("t")));
  EXPECT_EQ("f", qvtest::ReadFile(P("t/locked/inner/f")));
  EXPECT_EQ("g", qvtest::ReadFile(P("t/locked/g")));
}

TEST_F(FileOpTest, MktempMakesAnEmptyFileReadableByAll) {
  ustring path = "unchanged";
  EXPECT_EQ(-1, FSMktemp(P("absent"), path));
  EXPECT_STREQ("unchanged", path.c_str());
  EXPECT_TRUE(log_.Has("ERROR", "mkstemp(" + P("absent") +
                                    "/XXXXXX): No such file or directory\n"));

  ustring first, second;
  ASSERT_EQ(0, FSMktemp(dir_, first));
  ASSERT_EQ(0, FSMktemp(dir_, second));
  EXPECT_STRNE(first.c_str(), second.c_str());
  const std::string name = first.c_str();
  EXPECT_EQ(dir_ + "/", name.substr(0, dir_.size() + 1));
  EXPECT_EQ(dir_.size() + 7, name.size());
  struct stat st;
  ASSERT_EQ(0, stat(name.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0, st.st_size);
  EXPECT_EQ(0644u, st.st_mode & 07777);

  // A prefix too long for the template is cut, and mkstemp refuses what is left.
  EXPECT_EQ(-1, FSMktemp(P(std::string(5000, 'p')), path));
}

TEST(FileTempPath, ComposesANameWithoutTouchingTheDisk) {
  const std::string alphabet =
      "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";
  const std::string dir = qvtest::MakeTempDir("temp");
  ustring path;
  ASSERT_EQ(0, FSCreateTempPath(dir.c_str(), path));
  std::string s = path.c_str();
  ASSERT_EQ(dir.size() + 9, s.size());
  EXPECT_EQ(dir + "/", s.substr(0, dir.size() + 1));
  EXPECT_EQ(std::string::npos, s.substr(dir.size() + 1).find_first_not_of(alphabet));
  EXPECT_FALSE(Exists(s));

  ASSERT_EQ(0, FSCreateTempPath("", path));
  EXPECT_EQ(9u, path.length());
  EXPECT_EQ('/', path.c_str()[0]);
}

TEST_F(FileOpTest, UTimeSetsTheTimesOfThePathItself) {
  ASSERT_TRUE(qvtest::WriteFile(P("f"), "x"));
  ASSERT_EQ(0, symlink("f", P("l").c_str()));
  struct stat before;
  ASSERT_EQ(0, stat(P("f").c_str(), &before));

  EXPECT_EQ(0, FSUTime(P("l"), 1000, 2000));
  struct stat st;
  ASSERT_EQ(0, lstat(P("l").c_str(), &st));
  EXPECT_EQ(1000, st.st_atim.tv_sec);
  EXPECT_EQ(2000, st.st_mtim.tv_sec);
  EXPECT_EQ(0, st.st_mtim.tv_nsec);
  ASSERT_EQ(0, stat(P("f").c_str(), &st));
  EXPECT_EQ(before.st_mtim.tv_sec, st.st_mtim.tv_sec) << "the target is not touched";

  EXPECT_EQ(0, FSUTime(P("f"), 3000, 4000));
  FILE_INFO info;
  ASSERT_EQ(0, GetFileInfo(P("f"), info));
  EXPECT_EQ(4000u, info.mtime);
  EXPECT_EQ(-1, FSUTime(P("absent"), 1, 2));
}

TEST_F(FileOpTest, SymbolicLinkCreationFailure) {
  ASSERT_TRUE(qvtest::WriteFile(P("taken"), "x"));
  EXPECT_EQ(-1, FSCreateSymbolicLink("target", P("taken")));
  EXPECT_EQ(EEXIST, errno);
  EXPECT_TRUE(log_.Has("ERROR", "FSCreateSymbolicLink: Failed to create symbolic link 'target' "
                                "-> '" + P("taken") + "' (code: 17, msg: File exists)\n"));
  EXPECT_EQ("x", qvtest::ReadFile(P("taken")));
}

TEST_F(FileOpTest, ChownChangesThePathItselfNotALinkTarget) {
  ASSERT_TRUE(qvtest::WriteFile(P("f"), "x"));
  ASSERT_EQ(0, symlink("f", P("l").c_str()));
  EXPECT_EQ(-1, FSChown(P("absent"), 0, 0));
  EXPECT_TRUE(log_.Has("ERROR", "FSChown: Failed to chown '" + P("absent") +
                                    "' (code: 2, msg: No such file or directory)\n"));

  // An ordinary user may not give a file away.
  const std::string f = P("f");
  int rc = qvtest::RunUnprivileged([&]() {
    CHILD_CHECK(10, FSChown(f, qvtest::UnprivilegedUid(), qvtest::UnprivilegedGid()) == -1);
    CHILD_CHECK(11, errno == EPERM);
    return 0;
  });
  EXPECT_EQ(0, rc);

  if (getuid() != 0) GTEST_SKIP() << "changing owners needs root";
  const uid_t u = qvtest::UnprivilegedUid();
  const gid_t g = qvtest::UnprivilegedGid();
  ASSERT_EQ(0, FSChown(P("l"), u, g));
  struct stat st;
  ASSERT_EQ(0, lstat(P("l").c_str(), &st));
  EXPECT_EQ(u, st.st_uid);
  EXPECT_EQ(g, st.st_gid);
  ASSERT_EQ(0, stat(P("f").c_str(), &st));
  EXPECT_EQ(0u, st.st_uid);
  ASSERT_EQ(0, FSChown(P("f"), u, g));
  ASSERT_EQ(0, stat(P("f").c_str(), &st));
  EXPECT_EQ(u, st.st_uid);
}

}  // namespace
