// Hostile and awkward entries: where they land, what is refused, and that nothing is
// ever written outside the target folder or through a link found on disk.
#include <sys/stat.h>
#include <unistd.h>

#include "extractor_test_util.h"
#include "build_paths.h"

using extest::Dir;
using extest::Exists;
using extest::ExtractorFixture;
using extest::File;
using extest::Hardlink;
using extest::IsSymlink;
using extest::Symlink;
using extest::WriteTar;

namespace {

class ExtractorSafetyTest : public ExtractorFixture {
 protected:
  void SetUp() override {
    ExtractorFixture::SetUp();
    target_ = work_ + "/t";
    outside_ = work_ + "/outside";
    ASSERT_EQ(0, ::mkdir(outside_.c_str(), 0755));
    ASSERT_TRUE(qvtest::WriteFile(outside_ + "/victim", "old"));
    arch_ = work_ + "/a.tar";
  }

  static ino_t Inode(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  }
  static nlink_t Links(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_nlink : 0;
  }

  std::string target_;
  std::string outside_;
  std::string arch_;
};

TEST_F(ExtractorSafetyTest, DotSlashAndLeadingSlashEntriesLandInsideTheTarget) {
  const std::string abs_name = "qvtest-extract-abs-" + std::to_string(::getpid());
  ASSERT_TRUE(WriteTar(arch_, {File("./a", "dot"), File("/" + abs_name, "abs")}));

  EXPECT_EQ(0, Extract(arch_, target_));
  EXPECT_EQ("dot", qvtest::ReadFile(target_ + "/a"));
  EXPECT_EQ("abs", qvtest::ReadFile(target_ + "/" + abs_name));
  EXPECT_FALSE(Exists("/" + abs_name));
}

TEST_F(ExtractorSafetyTest, DotDotEntryIsRefusedAndEndsTheRun) {
  ASSERT_TRUE(WriteTar(arch_, {File("ok", "1"), File("sub/../../escape", "x"),
                               File("after", "2")}));

  EXPECT_EQ(-1, Extract(arch_, target_));
  EXPECT_EQ("1", qvtest::ReadFile(target_ + "/ok"));
  EXPECT_FALSE(Exists(work_ + "/escape"));
  EXPECT_FALSE(Exists(target_ + "/after"));
  EXPECT_EQ((std::vector<std::pair<int, int>>{{3, 1}}), progress_);
  EXPECT_EQ(1, LogCount("archive_read_extract2 failed: '"));
}

TEST_F(ExtractorSafetyTest, TargetWithDotDotFailsOnTheFirstEntry) {
  ASSERT_TRUE(WriteTar(arch_, {File("a", "1")}));
  ASSERT_EQ(0, ::mkdir(target_.c_str(), 0755));
  const std::string dotdot_target = target_ + "/../t2";

  EXPECT_EQ(-1, Extract(arch_, dotdot_target));
  EXPECT_FALSE(Exists(work_ + "/t2"));
  EXPECT_TRUE(progress_.empty());
  EXPECT_EQ(1, LogCount("archive_read_extract2 failed: '"));
  EXPECT_EQ(1, LogCount("decompress from '" + arch_ + "' to '" + dotdot_target + "'\n"));
}

// Root passes every permission check, so the read-only file is replaced by a user.
TEST_F(ExtractorSafetyTest, ReadOnlyFileAtAnEntryPathIsReplacedNotWrittenThrough) {
  ASSERT_TRUE(WriteTar(arch_, {File("ro", "new")}));
  ASSERT_EQ(0, ::mkdir(target_.c_str(), 0755));
  ASSERT_TRUE(qvtest::WriteFile(target_ + "/ro", "old"));
  ASSERT_EQ(0, ::chmod((target_ + "/ro").c_str(), 0444));
  // A second name of the same file: writing through would show here.
  ASSERT_EQ(0, ::link((target_ + "/ro").c_str(), (outside_ + "/alias").c_str()));
  ASSERT_EQ(0, ::chown(target_.c_str(), qvtest::UnprivilegedUid(), qvtest::UnprivilegedGid()));
  ASSERT_EQ(0, ::chown((target_ + "/ro").c_str(), qvtest::UnprivilegedUid(),
                       qvtest::UnprivilegedGid()));
  const std::string arch = arch_;
  const std::string target = target_;

  EXPECT_EQ(0, qvtest::RunUnprivileged([&] { return Extract(arch, target) == 0 ? 0 : 1; }));
  EXPECT_EQ("new", qvtest::ReadFile(target_ + "/ro"));
  EXPECT_EQ("old", qvtest::ReadFile(outside_ + "/alias"));
  EXPECT_NE(Inode(target_ + "/ro"), Inode(outside_ + "/alias"));
}

TEST_F(ExtractorSafetyTest, SymbolicLinksAtEntryPathsAreReplacedNotFollowed) {
  ASSERT_TRUE(WriteTar(arch_, {File("f", "new"), Dir("d"), File("d/inner", "in")}));
  ASSERT_EQ(0, ::mkdir(target_.c_str(), 0755));
  ASSERT_EQ(0, ::symlink((outside_ + "/victim").c_str(), (target_ + "/f").c_str()));
  ASSERT_EQ(0, ::symlink(outside_.c_str(), (target_ + "/d").c_str()));

  EXPECT_EQ(0, Extract(arch_, target_));
  EXPECT_FALSE(IsSymlink(target_ + "/f"));
  EXPECT_EQ("new", qvtest::ReadFile(target_ + "/f"));
  EXPECT_EQ("old", qvtest::ReadFile(outside_ + "/victim"));
  EXPECT_FALSE(IsSymlink(target_ + "/d"));
  EXPECT_EQ("in", qvtest::ReadFile(target_ + "/d/inner"));
  EXPECT_FALSE(Exists(outside_ + "/inner"));
}

TEST_F(ExtractorSafetyTest, LinkEntryThenFileBeneathItStaysInside) {
  ASSERT_TRUE(WriteTar(arch_, {Symlink("abs", outside_), File("abs/evil", "a"),
                               Symlink("up", ".."), File("up/evil", "b"),
                               Symlink("kept", "../outside/victim")}));

  EXPECT_EQ(0, Extract(arch_, target_));
  EXPECT_FALSE(Exists(outside_ + "/evil"));
  EXPECT_FALSE(Exists(work_ + "/evil"));
  EXPECT_EQ("a", qvtest::ReadFile(target_ + "/abs/evil"));
  EXPECT_EQ("b", qvtest::ReadFile(target_ + "/up/evil"));
  // A link's text is its content and is written as stored.
  ASSERT_TRUE(IsSymlink(target_ + "/kept"));
  char text[256] = {};
  ASSERT_GT(::readlink((target_ + "/kept").c_str(), text, sizeof text - 1), 0);
  EXPECT_STREQ("../outside/victim", text);
  EXPECT_EQ(5u, progress_.size());
}

// A home or data folder that is a link to another disk is the user's own setup: the
// link must survive and the files go behind it.
TEST_F(ExtractorSafetyTest, TargetReachedThroughTheUsersLinkKeepsTheLink) {
  ASSERT_TRUE(WriteTar(arch_, {Dir("bin"), File("bin/x", "1")}));
  const std::string disk = work_ + "/disk";
  const std::string home = work_ + "/home";
  ASSERT_EQ(0, qvtest::Shell("mkdir -p " + disk + "/qd/linked " + home + " && ln -s " + disk +
                             "/qd " + home + "/.qd && ln -s " + disk + "/qd/linked " + disk +
                             "/qd/app-link"));

  // Missing below the link, then a target that is itself a link.
  const std::string missing_below = home + "/.qd/app.new";
  EXPECT_EQ(0, Extract(arch_, missing_below));
  EXPECT_EQ(0, Extract(arch_, home + "/.qd/app-link"));
  EXPECT_TRUE(IsSymlink(home + "/.qd"));
  EXPECT_TRUE(IsSymlink(disk + "/qd/app-link"));
  EXPECT_EQ("1", qvtest::ReadFile(disk + "/qd/app.new/bin/x"));
  EXPECT_EQ("1", qvtest::ReadFile(disk + "/qd/linked/bin/x"));
  EXPECT_EQ(1, LogCount("decompress from '" + arch_ + "' to '" + missing_below + "'\n"));

  // A relative target resolves from the current folder in the same way.
  char* cwd = ::getcwd(nullptr, 0);
  ASSERT_EQ(0, ::chdir(home.c_str()));
  const int rc = Extract(arch_, ".qd/rel");
  ASSERT_EQ(0, ::chdir(cwd));
  ::free(cwd);
  EXPECT_EQ(0, rc);
  EXPECT_TRUE(IsSymlink(home + "/.qd"));
  EXPECT_EQ("1", qvtest::ReadFile(disk + "/qd/rel/bin/x"));
}

// A link to a file where the target folder should be: the writer cannot go through the
// file, and neither the link nor the file it points to is touched.
TEST_F(ExtractorSafetyTest, LinkToAFileInTheTargetPathFailsAndSparesBoth) {
  ASSERT_TRUE(WriteTar(arch_, {File("x", "1")}));
  ASSERT_EQ(0, ::symlink((outside_ + "/victim").c_str(), (work_ + "/flink").c_str()));

  EXPECT_EQ(-1, Extract(arch_, work_ + "/flink/app"));
  EXPECT_EQ(-1, Extract(arch_, work_ + "/flink"));
  EXPECT_TRUE(IsSymlink(work_ + "/flink"));
  EXPECT_EQ("old", qvtest::ReadFile(outside_ + "/victim"));
  EXPECT_EQ(2, LogCount("archive_read_extract2 failed: '"));
}

TEST_F(ExtractorSafetyTest, HardLinksJoinEntriesOfTheSameTarget) {
  ASSERT_TRUE(WriteTar(arch_, {Dir("d"), File("d/a", "data"), Hardlink("d/b", "d/a")}));
  // A same-named file in the current folder must not be what the link reaches.
  const std::string cwd_dir = qvtest::MakeTempDir("cwd");
  ASSERT_EQ(0, ::mkdir((cwd_dir + "/d").c_str(), 0755));
  ASSERT_TRUE(qvtest::WriteFile(cwd_dir + "/d/a", "cwd"));
  char* cwd = ::getcwd(nullptr, 0);
  ASSERT_EQ(0, ::chdir(cwd_dir.c_str()));
  const int rc = Extract(arch_, target_);
  ASSERT_EQ(0, ::chdir(cwd));
  ::free(cwd);

  EXPECT_EQ(0, rc);
  EXPECT_EQ("data", qvtest::ReadFile(target_ + "/d/b"));
  EXPECT_EQ(Inode(target_ + "/d/a"), Inode(target_ + "/d/b"));
  EXPECT_EQ(1u, Links(cwd_dir + "/d/a"));
}

TEST_F(ExtractorSafetyTest, HardLinksCannotReachOutside) {
  const std::string victim = outside_ + "/victim";
  const std::vector<std::vector<extest::Entry>> archives = {
      {Hardlink("abs", victim)},
      {Hardlink("rel", "../outside/victim")},
      {Symlink("l", outside_), Hardlink("via", "l/victim")},
  };
  for (const auto& entries : archives) {
    ASSERT_TRUE(WriteTar(arch_, entries));
    EXPECT_EQ(-1, Extract(arch_, target_)) << entries.back().path;
  }
  EXPECT_EQ(1u, Links(victim));
  EXPECT_EQ("old", qvtest::ReadFile(victim));
  EXPECT_EQ(3, LogCount("archive_read_extract2 failed: '"));
}

// An entry whose path reduces to the target itself ("", ".", "./", "/") must never replace
// it. The writer would unlink the (empty, freshly made) target and put a file, a link
// chosen by the archive, or a fifo in its place, or only delete it; so such entries are
// refused unless they are folders. Each archive holds that entry first and a file "after".
TEST_F(ExtractorSafetyTest, EntryNamingTheTargetItselfIsRefusedUnlessAFolder) {
  ASSERT_EQ(0, qvtest::Shell("python3 " + QV_SOURCE_DIR + "/tests/ui-client/launcher/data/target_entries.py " + work_));
  const std::pair<const char*, const char*> rows[] = {
      {"empty-file.zip", ""},      {"dot-symlink.tar", "."}, {"dotslash-symlink.tar", "./"},
      {"slash-symlink.tar", "/"},  {"dot-hardlink.tar", "."}, {"dot-fifo.tar", "."},
  };
  const auto outside_before = extest::Snapshot(outside_);
  // First empty, as the service leaves it (the writer could then remove it), then
  // holding a file; each time in a folder of the ordinary user who extracts.
  for (const bool holding : {false, true}) {
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(row.first) + (holding ? ", holding a file" : ", empty"));
      const std::string parent = work_ + "/home-" + row.first + (holding ? "-holding" : "");
      const std::string target = parent + "/app";
      for (const std::string& dir : {parent, target}) {
        ASSERT_EQ(0, ::mkdir(dir.c_str(), 0755));
        ASSERT_EQ(0,
                  ::chown(dir.c_str(), qvtest::UnprivilegedUid(), qvtest::UnprivilegedGid()));
      }
      if (holding) {
        ASSERT_TRUE(qvtest::WriteFile(target + "/before", "kept"));
      }
      const auto target_before = extest::Snapshot(target);
      const ino_t inode = Inode(target);
      const std::string arch = work_ + "/" + row.first;
      const std::string refusal =
          "entry '" + std::string(row.second) + "' names the target folder itself\n";
      const int refusals_before = LogCount(refusal);

      // 1: the result was not -1; 2: progress was reported for the refused entry.
      EXPECT_EQ(0, qvtest::RunUnprivileged([&] {
                  return (Extract(arch, target) == -1 ? 0 : 1) | (progress_.empty() ? 0 : 2);
                }));
      struct stat st;
      ASSERT_EQ(0, ::lstat(target.c_str(), &st));
      EXPECT_TRUE(S_ISDIR(st.st_mode));
      EXPECT_EQ(inode, st.st_ino);
      EXPECT_EQ(target_before, extest::Snapshot(target));  // "after" is not written either
      EXPECT_EQ(refusals_before + 1, LogCount(refusal));
    }
  }
  // Our own line each time: the writer never saw the entry.
  EXPECT_EQ(12, LogCount("[ERROR]"));
  EXPECT_EQ(outside_before, extest::Snapshot(outside_));
}

TEST_F(ExtractorSafetyTest, FolderEntryNamingTheTargetExtractsAsBefore) {
  ASSERT_EQ(0, qvtest::Shell("python3 " + QV_SOURCE_DIR + "/tests/ui-client/launcher/data/target_entries.py " + work_));
  // bsdtar writes a bare "." in cpio (and "./" in tar, which the script's archive has).
  const std::string src = work_ + "/src";
  ASSERT_EQ(0, qvtest::Shell("mkdir " + src + " && printf after > " + src +
                             "/after && bsdtar -c --format newc -f " + work_ +
                             "/dot-dir.cpio -n -C " + src + " . after"));
  for (const char* name : {"dotslash-dir.tar", "dot-dir.cpio"}) {
    SCOPED_TRACE(name);
    const std::string target = work_ + "/t-" + name;
    ASSERT_EQ(0, ::mkdir(target.c_str(), 0700));
    ASSERT_TRUE(qvtest::WriteFile(target + "/before", "kept"));
    const ino_t inode = Inode(target);
    progress_.clear();

    EXPECT_EQ(0, Extract(work_ + "/" + name, target));
    EXPECT_EQ(inode, Inode(target));
    EXPECT_EQ("kept", qvtest::ReadFile(target + "/before"));
    EXPECT_EQ("after", qvtest::ReadFile(target + "/after"));
    struct stat st;
    ASSERT_EQ(0, ::lstat(target.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);
    // The folder entry still counts.
    EXPECT_EQ((std::vector<std::pair<int, int>>{{2, 1}, {2, 2}}), progress_);
  }
  // A missing target is made by its folder entry.
  EXPECT_EQ(0, Extract(work_ + "/dotslash-dir.tar", target_));
  EXPECT_EQ("after", qvtest::ReadFile(target_ + "/after"));
  EXPECT_EQ(0, LogCount("[ERROR]"));
}

}  // namespace
