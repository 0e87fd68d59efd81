// Describing paths, path text, folder reading and file-system classification.
#include <sys/time.h>
#include <unistd.h>

#include <map>
#include <set>

#include "file/file-op.h"
#include "file_test_util.h"

using fileop_test::Exists;
using fileop_test::FileOpTest;

namespace {

struct PathCase {
  const char* path;
  const char* parent;
  const char* base;
};

TEST(FilePathText, ParentAndBaseName) {
  const PathCase cases[] = {
      {"/a/b", "/a", "b"}, {"/a", "/", "a"},   {"a", "/", "a"},
      {"/a/b/", "/a/b", ""}, {"/", "/", ""}, {"", "/", ""},
  };
  for (const PathCase& c : cases) {
    EXPECT_STREQ(c.parent, FSParentPath(c.path).c_str()) << "path '" << c.path << "'";
    EXPECT_STREQ(c.base, FSBaseName(c.path).c_str()) << "path '" << c.path << "'";
  }
}

TEST(FilePathText, IsParentFolder) {
  struct Case {
    const char* parent;
    const char* child;
    bool result;
  };
  const Case cases[] = {
      {"/a", "/a", true},   {"/a", "/a/b", true}, {"/a", "/ab", false},
      {"/a/", "/a/b", false}, {"/a/b", "/a", false}, {"/", "/a", false},
      {"", "/a", true},     {"", "a", false},     {"/A", "/a/b", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.result, FSIsParentFolder(c.parent, c.child))
        << "parent '" << c.parent << "' child '" << c.child << "'";
  }
}

TEST(FilePathText, TimeEqualHasNoTolerance) {
  EXPECT_TRUE(FSTimeEqual(100, 100));
  EXPECT_FALSE(FSTimeEqual(100, 101));
}

TEST(FileInfoRecord, EqualityIgnoresOwnerModeAndDevice) {
  FILE_INFO a;
  EXPECT_FALSE(a.isExist);
  EXPECT_EQ(FT_ERR, a.type);
  EXPECT_EQ(0u, a.size);
  EXPECT_TRUE(a.path.empty());

  a.path = "/x/y";
  a.name = "y";
  a.type = FT_FILE;
  a.mtime = 5;
  a.size = 7;
  a.isExist = true;
  FILE_INFO b = a;
  b.mode = 0100644;
  b.uid = 12;
  b.gid = 13;
  b.dev_id = 99;
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a != b);

  const std::function<void(FILE_INFO&)> changes[] = {
      [](FILE_INFO& r) { r.name = "z"; },      [](FILE_INFO& r) { r.path = "/x/z"; },
      [](FILE_INFO& r) { r.type = FT_DIR; },   [](FILE_INFO& r) { r.mtime = 6; },
      [](FILE_INFO& r) { r.size = 8; },        [](FILE_INFO& r) { r.isExist = false; },
  };
  for (size_t i = 0; i < sizeof(changes) / sizeof(changes[0]); ++i) {
    FILE_INFO c = a;
    changes[i](c);
    EXPECT_FALSE(a == c) << "change " << i;
    EXPECT_TRUE(a != c) << "change " << i;
  }
}

TEST_F(FileOpTest, GetFileInfoOfEveryKind) {
  ASSERT_TRUE(qvtest::WriteFile(P("file"), "12345"));
  struct timeval tv[2] = {{1000000, 0}, {1234567890, 0}};
  ASSERT_EQ(0, utimes(P("file").c_str(), tv));
  ASSERT_EQ(0, chmod(P("file").c_str(), 0640));
  ASSERT_EQ(0, mkdir(P("dir").c_str(), 0755));
  ASSERT_EQ(0, symlink(P("dir").c_str(), P("link-dir").c_str()));
  ASSERT_EQ(0, symlink(P("missing").c_str(), P("dangling").c_str()));
  ASSERT_EQ(0, link(P("file").c_str(), P("hard").c_str()));
  ASSERT_EQ(0, mkfifo(P("fifo").c_str(), 0600));
  ASSERT_TRUE(fileop_test::MakeSocket(P("sock")));

  FILE_INFO info;
  ASSERT_EQ(0, GetFileInfo(P("file"), info));
  EXPECT_TRUE(info.isExist);
  EXPECT_EQ(FT_FILE, info.type);
  EXPECT_EQ(5u, info.size);
  EXPECT_EQ(1234567890u, info.mtime);
  EXPECT_EQ(0100640u, info.mode);
  EXPECT_EQ(getuid(), info.uid);
  EXPECT_EQ(getgid(), info.gid);
  EXPECT_STREQ(P("file").c_str(), info.path.c_str());
  EXPECT_STREQ("file", info.name.c_str());
  struct stat st;
  ASSERT_EQ(0, stat(P("file").c_str(), &st));
  EXPECT_EQ(static_cast<uint64_t>(st.st_dev), info.dev_id);

  // A hard link is just another name of a regular file.
  ASSERT_EQ(0, GetFileInfo(P("hard"), info));
  EXPECT_EQ(FT_FILE, info.type);

  const std::map<std::string, FILE_TYPE> kinds = {
      {P("dir"), FT_DIR},         {P("link-dir"), FT_SLINK}, {P("dangling"), FT_SLINK},
      {P("fifo"), FT_FIFO},       {P("sock"), FT_SOCK},      {"/dev/null", FT_DEV},
  };
  for (const auto& k : kinds) {
    FILE_INFO i;
    EXPECT_EQ(0, GetFileInfo(k.first, i)) << k.first;
    EXPECT_EQ(k.second, i.type) << k.first;
    EXPECT_TRUE(i.isExist) << k.first;
  }

  // A link describes itself: its size is the length of its text, not the folder's.
  ASSERT_EQ(0, GetFileInfo(P("link-dir"), info));
  EXPECT_EQ(P("dir").size(), info.size);
  EXPECT_TRUE(IsFileExist(P("dangling"), false));
}

TEST_F(FileOpTest, GetFileInfoOfMissingAndUnreachablePaths) {
  FILE_INFO info;
  info.type = FT_DIR;
  info.mtime = 1;
  info.size = 2;
  info.uid = 3;
  info.gid = 4;
  info.mode = 5;
  info.dev_id = 6;
  info.isExist = true;
  ASSERT_EQ(0, GetFileInfo(P("absent"), info));
  EXPECT_FALSE(info.isExist);
  EXPECT_EQ(FT_ERR, info.type);
  EXPECT_STREQ("absent", info.name.c_str());
  EXPECT_STREQ(P("absent").c_str(), info.path.c_str());
  EXPECT_EQ(0u, info.mtime + info.size + info.uid + info.gid + info.mode + info.dev_id);
  EXPECT_FALSE(IsFileExist(P("absent"), false));
  EXPECT_FALSE(IsFileExist("", false));

  // Below a regular file the system answers ENOTDIR: an error, not "missing".
  ASSERT_TRUE(qvtest::WriteFile(P("plain"), "x"));
  FILE_INFO kept;
  kept.path = "kept";
  EXPECT_EQ(-1, GetFileInfo(P("plain/below"), kept));
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_STREQ("kept", kept.path.c_str());
  EXPECT_FALSE(IsFileExist(P("plain/below"), false));

  EXPECT_EQ(0, FSStat(P("absent"), info, false));
  EXPECT_EQ(-2, FSStat(P("plain/below"), kept, false));
  EXPECT_EQ(-1, FSStat("", kept, false));
  EXPECT_STREQ("kept", kept.path.c_str());
}

TEST_F(FileOpTest, RealPathResolvesLinksDotsAndSlashes) {
  ASSERT_EQ(0, mkdir(P("real").c_str(), 0755));
  ASSERT_EQ(0, symlink("real", P("alias").c_str()));
  ustring path = (dir_ + "//alias/./../alias").c_str();
  const std::string before = path.c_str();
  ASSERT_EQ(0, FSGetRealPath(path));
  char expected[8192];
  ASSERT_NE(nullptr, realpath(P("real").c_str(), expected));
  EXPECT_STREQ(expected, path.c_str());
  EXPECT_TRUE(log_.Has("DEBUG", " org path [" + before + "]\n"));
  EXPECT_TRUE(log_.Has("DEBUG", " get full path [" + std::string(expected) + "]\n"));

  ustring missing = P("real/absent").c_str();
  EXPECT_EQ(-1, FSGetRealPath(missing));
  EXPECT_STREQ(P("real/absent").c_str(), missing.c_str());
}

TEST_F(FileOpTest, ReadDirWithAndWithoutSizes) {
  ASSERT_TRUE(qvtest::WriteFile(P("one"), "abcdef"));
  struct timeval tv[2] = {{1000, 0}, {1500000000, 0}};
  ASSERT_EQ(0, utimes(P("one").c_str(), tv));

  for (int flag : {0, 1}) {
    DIR_HANDLE dh;
    ASSERT_EQ(0, FSOpenDir(dir_, flag, dh));
    EXPECT_STREQ(dir_.c_str(), dh.path.c_str());
    EXPECT_EQ(flag, dh.flag);
    std::map<std::string, DIR_ENTRY> seen;
    DIR_ENTRY e;
    int rc;
    while ((rc = FSReadDir(dh, e)) == 1) seen[e.name.c_str()] = e;
    EXPECT_EQ(0, rc);
    EXPECT_EQ(0, FSReadDir(dh, e)) << "the end stays the end";
    FSCloseDir(dh);
    EXPECT_EQ(nullptr, dh.dp);
    EXPECT_TRUE(dh.path.empty());

    ASSERT_EQ(3u, seen.size()) << "flag " << flag;
    ASSERT_EQ(1u, seen.count(".")) << "flag " << flag;
    ASSERT_EQ(1u, seen.count("..")) << "flag " << flag;
    const DIR_ENTRY& one = seen["one"];
    EXPECT_EQ(FT_FILE, one.type);
    EXPECT_EQ(FT_DIR, seen["."].type);
    if (flag == 0) {
      EXPECT_EQ(0u, one.size);
      EXPECT_EQ(0u, one.mtime);
      EXPECT_EQ(0u, seen["."].mtime);
    } else {
      EXPECT_EQ(6u, one.size);
      EXPECT_EQ(1500000000u, one.mtime);
    }
  }
}

TEST_F(FileOpTest, ReadDirReportsKindsFromTheEntryAndLinksUnfollowed) {
  ASSERT_EQ(0, mkdir(P("d").c_str(), 0755));
  ASSERT_EQ(0, mkdir(P("d/sub").c_str(), 0755));
  ASSERT_EQ(0, symlink("sub", P("d/link").c_str()));
  ASSERT_EQ(0, mkfifo(P("d/fifo").c_str(), 0600));
  ASSERT_TRUE(fileop_test::MakeSocket(P("d/sock")));

  DIR_HANDLE dh;
  ASSERT_EQ(0, FSOpenDir(P("d"), 1, dh));
  std::map<std::string, DIR_ENTRY> seen;
  DIR_ENTRY e;
  while (FSReadDir(dh, e) == 1) seen[e.name.c_str()] = e;
  FSCloseDir(dh);
  EXPECT_EQ(FT_DIR, seen["sub"].type);
  EXPECT_EQ(FT_SLINK, seen["link"].type);
  EXPECT_EQ(3u, seen["link"].size) << "the link's own size";
  EXPECT_EQ(FT_FIFO, seen["fifo"].type);
  EXPECT_EQ(FT_SOCK, seen["sock"].type);

  ASSERT_EQ(0, FSOpenDir("/dev", 0, dh));
  bool saw_null = false;
  while (FSReadDir(dh, e) == 1) {
    if (std::string(e.name.c_str()) == "null") saw_null = (e.type == FT_DEV);
  }
  FSCloseDir(dh);
  EXPECT_TRUE(saw_null);
}

TEST_F(FileOpTest, OpenDirFailuresAndClosingUnopenedHandles) {
  DIR_HANDLE dh;
  dh.path = "untouched";
  dh.flag = 9;
  EXPECT_EQ(-1, FSOpenDir(P("absent"), 1, dh));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_STREQ("untouched", dh.path.c_str());
  EXPECT_EQ(9, dh.flag);
  EXPECT_EQ(nullptr, dh.dp);
  EXPECT_TRUE(log_.Has("ERROR", "FSOpenDir: Failed to open directory '" + P("absent") +
                                    "'. No such file or directory\n"));
  FSCloseDir(dh);  // a handle that never opened may be closed
  EXPECT_TRUE(dh.path.empty());
  DIR_HANDLE fresh;
  FSCloseDir(fresh);
  DIR_ENTRY e;
  EXPECT_EQ(0, FSReadDir(fresh, e));
}

// An entry that cannot be described (a readable folder without search permission)
// fails the read when sizes are asked for, and is listed normally when they are not.
TEST_F(FileOpTest, ReadDirWithSizesFailsOnAnEntryItCannotDescribe) {
  ASSERT_EQ(0, mkdir(P("nosearch").c_str(), 0755));
  ASSERT_TRUE(qvtest::WriteFile(P("nosearch/f"), "x"));
  ASSERT_EQ(0, chmod(P("nosearch").c_str(), 0444));
  const std::string folder = P("nosearch");
  int rc = qvtest::RunUnprivileged([&]() {
    DIR_HANDLE dh;
    CHILD_CHECK(10, FSOpenDir(folder, 1, dh) == 0);
    DIR_ENTRY e;
    e.name = "before";
    int r = FSReadDir(dh, e);
    CHILD_CHECK(11, r == -1);
    CHILD_CHECK(12, std::string(e.name.c_str()) == "before");
    FSCloseDir(dh);
    CHILD_CHECK(13, FSOpenDir(folder, 0, dh) == 0);
    int n = 0;
    while (FSReadDir(dh, e) == 1) ++n;
    FSCloseDir(dh);
    CHILD_CHECK(14, n == 3);
    return 0;
  });
  EXPECT_EQ(0, rc);
  // The first entry read may be ".", ".." or "f"; each one fails in the same way.
  const std::string text = log_.Text();
  EXPECT_NE(std::string::npos,
            text.find("): FSOpenDir: Failed to get info for '" + folder + "/"));
}

TEST_F(FileOpTest, SymbolicLinkTextUpToTheBufferLimit) {
  std::string target = "/" + std::string(4094, 'x');  // 4095 bytes, the longest accepted
  ASSERT_EQ(0, symlink(target.c_str(), P("long").c_str()));
  ustring read_back;
  ASSERT_EQ(0, FSReadSymbolicLink(P("long"), read_back));
  EXPECT_EQ(target, std::string(read_back.c_str()));

  ASSERT_EQ(0, FSCreateSymbolicLink("rel/target", P("short")));
  ASSERT_EQ(0, FSReadSymbolicLink(P("short"), read_back));
  EXPECT_STREQ("rel/target", read_back.c_str());

  ustring kept = "kept";
  EXPECT_EQ(-1, FSReadSymbolicLink(P("absent"), kept));
  EXPECT_STREQ("kept", kept.c_str());
  EXPECT_TRUE(log_.Has("ERROR", "FSReadSymbolicLink: Failed to read symbolic link '" +
                                    P("absent") + "' (code: 2, msg: No such file or directory)\n"));
  ASSERT_TRUE(qvtest::WriteFile(P("plain"), "x"));
  EXPECT_EQ(-1, FSReadSymbolicLink(P("plain"), kept));
  EXPECT_EQ(EINVAL, errno);
}

TEST_F(FileOpTest, PermissionsAsSeenByAnOrdinaryUser) {
  ASSERT_TRUE(qvtest::WriteFile(P("ro"), "x"));
  ASSERT_EQ(0, chmod(P("ro").c_str(), 0444));
  const std::string ro = P("ro");
  const std::string absent = P("absent");
  int rc = qvtest::RunUnprivileged([&]() {
    CHILD_CHECK(10, !hasFilePermission(ro, W_OK));
    CHILD_CHECK(11, isFileLocked(ro, W_OK));
    CHILD_CHECK(12, hasFilePermission(ro, R_OK));
    CHILD_CHECK(13, !isFileLocked(ro, F_OK));
    // A path that does not exist is not "locked".
    CHILD_CHECK(14, hasFilePermission(absent, W_OK));
    CHILD_CHECK(15, !isFileLocked(absent, R_OK));
    return 0;
  });
  EXPECT_EQ(0, rc);
  EXPECT_TRUE(hasFilePermission(absent, W_OK));
}

TEST_F(FileOpTest, FileSystemKindOfLocalAndMissingPaths) {
  EXPECT_FALSE(isMountPoint(dir_));
  EXPECT_FALSE(IsMSDOS(dir_));
  EXPECT_FALSE(isMountPoint("/proc"));
  EXPECT_FALSE(isMountPoint(P("absent")));
  EXPECT_TRUE(log_.Has("ERROR", "isMountPoint: Failed to get file system info '" + P("absent") +
                                    "'. No such file or directory\n"));
  EXPECT_FALSE(IsMSDOS(P("absent")));
  EXPECT_TRUE(log_.Has("ERROR", "IsSupportLargeFile: Failed to get file system info '" +
                                    P("absent") + "'. No such file or directory\n"));
}

}  // namespace
