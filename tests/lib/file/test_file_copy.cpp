// Copying one file: content, permissions, a full disk, and sources that must be refused.
#include <sys/stat.h>

#include <random>

#include "file/file-op.h"
#include "file_test_util.h"

using fileop_test::Exists;
using fileop_test::FileOpTest;
using fileop_test::ModeOf;
using fileop_test::UmaskScope;

namespace {

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

TEST_F(FileOpTest, CopyMovesEveryByteAcrossBufferBoundaries) {
  for (size_t size : {size_t(0), size_t(1), size_t(8192), size_t(3 * 8192 + 17), size_t(40 << 20)}) {
    const std::string content = RandomBytes(size, static_cast<unsigned>(size));
    const std::string src = P("src-" + std::to_string(size));
    const std::string dst = P("dst-" + std::to_string(size));
    ASSERT_TRUE(qvtest::WriteFile(src, content));
    ASSERT_EQ(0, FSCopy(src, dst, false, false)) << size;
    EXPECT_EQ(content, qvtest::ReadFile(dst)) << size;
    EXPECT_EQ(content, qvtest::ReadFile(src)) << size;

    // The copy without a flush reports every byte once, in steps.
    uint64_t reported = 0;
    int calls = 0;
    ASSERT_EQ(0, FSCopyNoSync(src, dst + "-nosync", true, [&](uint64_t n) {
      reported += n;
      ++calls;
    }));
    EXPECT_EQ(content, qvtest::ReadFile(dst + "-nosync")) << size;
    EXPECT_EQ(size, reported);
    if (size > (16 << 20)) {
      EXPECT_GT(calls, 1) << "a big file moves the bar more than once";
    }
  }
  // A size of 0 does not mean an empty file everywhere.
  ASSERT_EQ(0, FSCopy("/proc/version", P("version"), false, false));
  EXPECT_EQ(qvtest::ReadFile("/proc/version"), qvtest::ReadFile(P("version")));
  EXPECT_FALSE(qvtest::ReadFile(P("version")).empty());
}

TEST_F(FileOpTest, FlushesReportWhatTheyCannotReach) {
  const int sync_point = FSOpenSyncPoint(dir_);
  ASSERT_GE(sync_point, 0);
  ASSERT_TRUE(qvtest::WriteFile(P("f"), "x"));
  EXPECT_EQ(0, FSSyncFileSystem(sync_point, P("f")));
  EXPECT_EQ(-1, fcntl(sync_point, F_GETFD)) << "the flush closes its descriptor";
  EXPECT_EQ(0, FSSyncEntry(dir_));
  EXPECT_EQ(-1, FSOpenSyncPoint(P("absent")));
  EXPECT_TRUE(log_.Has("ERROR", "syncfs: open(" + P("absent") + "): No such file or directory (2)\n"));
  EXPECT_EQ(-1, FSSyncFileSystem(-1, P("absent")));
  EXPECT_EQ(-1, FSSyncEntry(P("absent")));
  EXPECT_TRUE(log_.Has("ERROR", "fsync: open(" + P("absent") + "): No such file or directory (2)\n"));
}

TEST_F(FileOpTest, CopyPermissionsOfNewAndExistingDestinations) {
  UmaskScope mask(022);
  ASSERT_TRUE(qvtest::WriteFile(P("exec"), "#!/bin/sh\n"));
  ASSERT_EQ(0, chmod(P("exec").c_str(), 0750));

  EXPECT_EQ(0, FSCopy(P("exec"), P("with"), false, true));
  EXPECT_EQ(0750u, ModeOf(P("with")));
  EXPECT_EQ(0, FSCopy(P("exec"), P("without"), false, false));
  EXPECT_EQ(0644u, ModeOf(P("without")));
  {
    UmaskScope none(0);
    ASSERT_EQ(0, chmod(P("exec").c_str(), 0777));
    EXPECT_EQ(0, FSCopy(P("exec"), P("wide"), false, true));
    EXPECT_EQ(0777u, ModeOf(P("wide")));
  }

  // An existing destination is emptied and refilled but keeps its own permissions.
  ASSERT_TRUE(qvtest::WriteFile(P("old"), "a much longer old content that must vanish"));
  ASSERT_EQ(0, chmod(P("old").c_str(), 0600));
  EXPECT_EQ(0, FSCopy(P("exec"), P("old"), false, true));
  EXPECT_EQ(0600u, ModeOf(P("old")));
  EXPECT_EQ("#!/bin/sh\n", qvtest::ReadFile(P("old")));

  // A link as source: content of its target, the link's own permission bits.
  ASSERT_TRUE(qvtest::WriteFile(P("data"), "d"));
  ASSERT_EQ(0, chmod(P("data").c_str(), 0600));
  ASSERT_EQ(0, symlink("data", P("data-link").c_str()));
  EXPECT_EQ(0, FSCopy(P("data-link"), P("from-link"), false, true));
  EXPECT_EQ("d", qvtest::ReadFile(P("from-link")));
  EXPECT_EQ(0755u, ModeOf(P("from-link")));
}

TEST_F(FileOpTest, CopyWithDeleteOriginMovesTheFile) {
  ASSERT_TRUE(qvtest::WriteFile(P("a"), "payload"));
  EXPECT_EQ(0, FSCopy(P("a"), P("b"), true, false));
  EXPECT_FALSE(Exists(P("a")));
  EXPECT_EQ("payload", qvtest::ReadFile(P("b")));
}

TEST_F(FileOpTest, CopyOpenFailuresNameThePath) {
  EXPECT_EQ(-1, FSCopy(P("absent"), P("b"), false, false));
  EXPECT_TRUE(log_.Has("ERROR", "CopyFile: open(" + P("absent") +
                                    "): No such file or directory (2)\n"));
  EXPECT_FALSE(Exists(P("b")));

  ASSERT_TRUE(qvtest::WriteFile(P("a"), "x"));
  EXPECT_EQ(-1, FSCopy(P("a"), P("no/such/dir"), true, false));
  EXPECT_TRUE(log_.Has("ERROR", "CopyFile: open(" + P("no/such/dir") +
                                    "): No such file or directory (2)\n"));
  EXPECT_TRUE(Exists(P("a"))) << "a failed move keeps its origin";

  ASSERT_EQ(0, mkdir(P("folder").c_str(), 0755));
  EXPECT_EQ(-1, FSCopy(P("folder"), P("c"), false, false));
  EXPECT_TRUE(log_.Has("ERROR", "CopyFile: read: Is a directory (21)\n"));
}

// A copy onto the file itself must not empty it first, whatever name reaches it.
TEST_F(FileOpTest, CopyOntoItselfFailsAndKeepsTheFile) {
  const std::string content = RandomBytes(20000, 7);
  ASSERT_TRUE(qvtest::WriteFile(P("f"), content));
  ASSERT_EQ(0, link(P("f").c_str(), P("hard").c_str()));
  ASSERT_EQ(0, symlink("f", P("soft").c_str()));
  for (const std::string& other : {P("f"), P("hard"), P("soft"), dir_ + "/./f"}) {
    EXPECT_EQ(-1, FSCopy(P("f"), other, false, false)) << other;
    EXPECT_EQ(-1, FSCopy(other, P("f"), true, true)) << other;
    EXPECT_EQ(content, qvtest::ReadFile(P("f"))) << other;
    EXPECT_TRUE(Exists(other)) << other;
  }
  EXPECT_TRUE(log_.Has("ERROR", "CopyFile: '" + P("f") + "' and '" + P("hard") +
                                    "' are the same file\n"));
}

// Pipes, sockets and devices are refused before anything is opened: a pipe without a
// writer would block the open, /dev/zero would never end.
TEST_F(FileOpTest, CopyRefusesSourcesThatAreNotRegularFiles) {
  ASSERT_EQ(0, mkfifo(P("fifo").c_str(), 0600));
  ASSERT_TRUE(fileop_test::MakeSocket(P("sock")));
  ASSERT_EQ(0, symlink("/dev/zero", P("zero-link").c_str()));
  const std::string srcs[] = {P("fifo"), P("sock"), "/dev/zero", "/dev/null", P("zero-link")};
  const std::string dst = P("dst");
  for (const std::string& src : srcs) {
    int rc = fileop_test::RunGuarded([&]() {
      CHILD_CHECK(10, FSCopy(src, dst, false, true) == -1);
      CHILD_CHECK(11, FSCopy(src, dst, true, false) == -1);
      return 0;
    });
    EXPECT_EQ(0, rc) << src << " (-1: the copy blocked or crashed)";
    EXPECT_FALSE(Exists(dst)) << src;
    EXPECT_TRUE(log_.Has("ERROR", "CopyFile: '" + src + "' is not a regular file\n")) << src;
  }
  EXPECT_TRUE(Exists(P("fifo")));
}

TEST_F(FileOpTest, CopyOntoAFullDeviceIsOutOfSpace) {
  ASSERT_TRUE(qvtest::WriteFile(P("a"), RandomBytes(100, 1)));
  EXPECT_EQ(-2, FSCopy(P("a"), "/dev/full", false, false));
  EXPECT_EQ(ENOSPC, errno);
  EXPECT_TRUE(log_.Has("ERROR", "CopyFile: write: No space left on device (28)\n"));
  EXPECT_EQ(-2, FSCopy(P("a"), "/dev/full", true, false));
  EXPECT_TRUE(Exists(P("a"))) << "a failed move keeps its origin";

  // A destination that is a pipe without a reader fails at once instead of blocking.
  ASSERT_EQ(0, mkfifo(P("out").c_str(), 0600));
  const std::string a = P("a"), out = P("out");
  EXPECT_EQ(0, fileop_test::RunGuarded([&]() { return FSCopy(a, out, false, false) == -1 ? 0 : 1; }));
}

TEST_F(FileOpTest, CopyIntoAFullFileSystemIsOutOfSpace) {
  ASSERT_EQ(0, mkdir(P("small").c_str(), 0755));
  const std::string big = P("big");
  ASSERT_TRUE(qvtest::WriteFile(big, RandomBytes(256 * 1024, 3)));
  const std::string dst = P("small/copy");
  int rc = fileop_test::RunWithTmpfs(P("small"), "64k", [&]() {
    CHILD_CHECK(10, FSCopy(big, dst, false, true) == -2);
    CHILD_CHECK(11, errno == ENOSPC);
    // Nothing is cleaned up: the partial destination stays.
    CHILD_CHECK(12, Exists(dst));
    CHILD_CHECK(13, FSCopy(big, dst, true, false) == -2);
    CHILD_CHECK(14, Exists(big));
    return 0;
  });
  if (rc == fileop_test::kMountRefused) {
    GTEST_SKIP() << "mounting a tmpfs in a private mount namespace was refused";
  }
  EXPECT_EQ(0, rc);
  EXPECT_TRUE(log_.Has("ERROR", "CopyFile: write: No space left on device (28)\n"));
  EXPECT_FALSE(Exists(dst)) << "the tmpfs lived only in the child's namespace";
}

// The walk a tree copy does (folders with FSMKDir, files with their permissions)
// gives the same tree as cp -a, content and permission bits.
TEST_F(FileOpTest, TreeCopyMatchesCpArchive) {
  UmaskScope mask(022);
  const std::string src = P("tree");
  const mode_t modes[] = {0644, 0755, 0600, 0700, 0444, 0640};
  int n = 0;
  for (int d = 0; d < 6; ++d) {
    std::string folder = src + "/d" + std::to_string(d) + (d % 2 ? "/deep/er" : "");
    ASSERT_EQ(0, FSMKDir(folder, true));
    for (int f = 0; f < 40; ++f, ++n) {
      std::string file = folder + "/f" + std::to_string(f);
      ASSERT_TRUE(qvtest::WriteFile(file, RandomBytes(static_cast<size_t>(n * 97 % 20000), n)));
      ASSERT_EQ(0, chmod(file.c_str(), modes[n % 6]));
    }
  }

  std::function<int(const std::string&, const std::string&)> copy_tree =
      [&](const std::string& from, const std::string& to) -> int {
    if (FSMKDir(to, true) != 0) return -1;
    DIR_HANDLE dh;
    if (FSOpenDir(from, 0, dh) != 0) return -1;
    DIR_ENTRY e;
    int rc = 0;
    while (rc == 0 && FSReadDir(dh, e) == 1) {
      std::string name = e.name.c_str();
      if (name == "." || name == "..") continue;
      if (e.type == FT_DIR) {
        rc = copy_tree(from + "/" + name, to + "/" + name);
      } else {
        rc = FSCopy(from + "/" + name, to + "/" + name, false, true) < 0 ? -1 : 0;
      }
    }
    FSCloseDir(dh);
    return rc;
  };
  ASSERT_EQ(0, copy_tree(src, P("ours")));
  ASSERT_EQ(0, qvtest::Shell("cp -a '" + src + "' '" + P("theirs") + "'"));
  EXPECT_EQ(0, qvtest::Shell("diff -r '" + P("ours") + "' '" + P("theirs") + "'"));
  const std::string list = "find . -printf '%y %m %s %P\\n' | sort";
  std::string ours = qvtest::ShellOutput("cd '" + P("ours") + "' && " + list);
  std::string theirs = qvtest::ShellOutput("cd '" + P("theirs") + "' && " + list);
  EXPECT_EQ(theirs, ours);
  EXPECT_NE(std::string::npos, ours.find("f 444 "));
}

}  // namespace
