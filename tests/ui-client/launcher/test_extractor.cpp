// The extractor against real archives: progress and label, counting and listing, the
// failures that stop it early, and every archive form bsdtar writes, compared with what
// bsdtar itself extracts from the same file.
#include <locale.h>
#include <sys/stat.h>

#include "extractor_test_util.h"

using extest::Exists;
using extest::ExtractorFixture;
using extest::Snapshot;

namespace {

class ExtractorTest : public ExtractorFixture {};

TEST_F(ExtractorTest, TwoEntriesAreWrittenWithOneProgressReportEach) {
  const std::string src = work_ + "/src";
  ASSERT_EQ(0, qvtest::Shell("mkdir -p " + src + "/app && printf 'binary' > " + src +
                             "/app/bin && bsdtar -cnf " + work_ + "/two.tar -C " + src +
                             " app app/bin"));
  const std::string target = work_ + "/t";

  EXPECT_EQ(0, Extract(work_ + "/two.tar", target));

  EXPECT_EQ("binary", qvtest::ReadFile(target + "/app/bin"));
  EXPECT_EQ((std::vector<std::pair<int, int>>{{2, 1}, {2, 2}}), progress_);
  ASSERT_EQ(1u, labels_.size());
  EXPECT_EQ("Quenvale Drive Client is initializing...", labels_[0].toStdString());
  EXPECT_EQ(1, LogCount("[DEBUG] extractor.cpp("));
  EXPECT_EQ(1, LogCount("decompress from '" + work_ + "/two.tar' to '" + target + "'\n"));
  EXPECT_EQ(0, LogCount("[ERROR]"));
}

TEST_F(ExtractorTest, RepeatedExtractionOverwritesTheFormerTree) {
  const std::string arch = work_ + "/a.tar";
  ASSERT_TRUE(extest::WriteTar(arch, {extest::Dir("d"), extest::File("d/f", "second")}));
  const std::string target = work_ + "/t";
  ASSERT_EQ(0, qvtest::Shell("mkdir -p " + target + "/d && printf 'first, longer' > " +
                             target + "/d/f"));
  Extractor extractor;
  extractor.SetSource(ustring(arch));
  extractor.SetTarget(ustring(target));
  EXPECT_EQ(0, extractor.Extract());
  EXPECT_EQ(0, extractor.Extract());
  EXPECT_EQ("second", qvtest::ReadFile(target + "/d/f"));
  EXPECT_EQ(4u, progress_.size());
}

TEST_F(ExtractorTest, EmptyPathsAreRefusedBeforeAnythingHappens) {
  const std::string arch = work_ + "/a.tar";
  ASSERT_TRUE(extest::WriteTar(arch, {extest::File("f", "x")}));
  const std::string target = work_ + "/t";
  const std::pair<std::string, std::string> cases[] = {{"", target}, {arch, ""}, {"", ""}};
  for (const auto& c : cases) {
    Extractor extractor;
    extractor.SetSource(ustring(c.first));
    extractor.SetTarget(ustring(c.second));
    EXPECT_EQ(-1, extractor.Extract());
    EXPECT_EQ(-1, extractor.Count());
    EXPECT_EQ(-1, extractor.List());
  }
  EXPECT_EQ(3, LogCount("Invalid Argument\n"));
  EXPECT_EQ(6, LogCount("Invalid argument\n"));
  EXPECT_TRUE(labels_.empty());
  EXPECT_TRUE(progress_.empty());
  EXPECT_FALSE(Exists(target));
}

TEST_F(ExtractorTest, ArchiveWithoutEntriesIsAFailure) {
  const std::string empty_tar = work_ + "/empty.tar";
  const std::string zero_bytes = work_ + "/zero";
  ASSERT_EQ(0, qvtest::Shell("bsdtar -cf " + empty_tar + " -T /dev/null && : > " + zero_bytes));
  const std::string target = work_ + "/t";

  for (const std::string& arch : {empty_tar, zero_bytes}) {
    EXPECT_EQ(0, Count(arch, target)) << arch;
    EXPECT_EQ(-1, Extract(arch, target)) << arch;
  }
  EXPECT_EQ(2, LogCount("Failed to calculate total file numbers, ret: 0\n"));
  EXPECT_EQ(2u, labels_.size());  // the label is set before counting
  EXPECT_TRUE(progress_.empty());
  EXPECT_FALSE(Exists(target));
}

TEST_F(ExtractorTest, UnreadableSourceFailsInTheCount) {
  const std::string missing = work_ + "/missing.tar";
  const std::string not_archive = work_ + "/text";
  ASSERT_TRUE(qvtest::WriteFile(not_archive, "plain text, not an archive\n"));
  const std::string target = work_ + "/t";

  for (const std::string& arch : {missing, not_archive}) {
    EXPECT_EQ(-1, Count(arch, target)) << arch;
    EXPECT_EQ(-1, Extract(arch, target)) << arch;
  }
  // One line from each Count call (two of them made by Extract), and no second opening.
  EXPECT_EQ(4, LogCount("archive_read_open_filename failed: '"));
  EXPECT_EQ(0, LogCount("Failed to read file"));
  EXPECT_EQ(2, LogCount("Failed to calculate total file numbers, ret: -1\n"));
  EXPECT_TRUE(progress_.empty());
  EXPECT_FALSE(Exists(target));
}

TEST_F(ExtractorTest, ListPrintsEveryPathAndCountAgrees) {
  const std::string arch = work_ + "/l.tar";
  ASSERT_TRUE(extest::WriteTar(arch, {extest::Dir("a"), extest::File("a/f", "1"),
                                      extest::Symlink("a/s", "f"),
                                      extest::Hardlink("a/h", "a/f")}));
  Extractor extractor;
  extractor.SetSource(ustring(arch));
  extractor.SetTarget(ustring(work_ + "/t"));
  ::testing::internal::CaptureStdout();
  int rc = extractor.List();
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(0, rc);
  EXPECT_EQ("a/\na/f\na/s\na/h\n", out);  // the pax writer marks folders with a slash
  EXPECT_EQ(4, extractor.Count());
}

TEST_F(ExtractorTest, TruncatedArchiveStopsAtTheDamage) {
  const std::string src = work_ + "/src";
  const std::string arch = work_ + "/big.tar";
  ASSERT_EQ(0, qvtest::Shell("mkdir -p " + src + " && printf small > " + src +
                             "/a && head -c 200000 /dev/urandom > " + src +
                             "/b && printf last > " + src + "/c && bsdtar -cf " + arch +
                             " -C " + src + " a b c && truncate -s 100000 " + arch));
  const std::string target = work_ + "/t";
  EXPECT_EQ(-1, Extract(arch, target));
  EXPECT_EQ("small", qvtest::ReadFile(target + "/a"));  // written before the damage stays
  EXPECT_FALSE(Exists(target + "/c"));
  EXPECT_EQ(1, LogCount("[ERROR]"));
}

// A bare session runs in the "C" locale; names that are not ASCII must still be written,
// as the UTF-8 the rest of the system uses for paths.
TEST_F(ExtractorTest, NonAsciiNamesAreWrittenAsUtf8UnderTheCLocale) {
  const std::string src = work_ + "/src";
  const std::string name = "\xc3\xbc/\xc3\xa9-\xe5\x90\x8d.txt";  // ü/é-名.txt
  ASSERT_EQ(0, ::mkdir(src.c_str(), 0755));
  ASSERT_EQ(0, ::mkdir((src + "/\xc3\xbc").c_str(), 0755));
  ASSERT_TRUE(qvtest::WriteFile(src + "/" + name, "hi"));
  for (const char* format : {"pax", "zip", "7zip"}) {
    ASSERT_EQ(0, qvtest::Shell(std::string("LC_ALL=C.UTF-8 bsdtar -c --format ") + format +
                               " -f " + work_ + "/u." + format + " -C " + src + " ."));
  }
  const std::string saved = ::setlocale(LC_ALL, nullptr);
  ::setlocale(LC_ALL, "C");
  int rc[3];
  int i = 0;
  for (const char* format : {"pax", "zip", "7zip"}) {
    rc[i++] = Extract(work_ + "/u." + format, work_ + "/t-" + format);
  }
  ::setlocale(LC_ALL, saved.c_str());
  i = 0;
  for (const char* format : {"pax", "zip", "7zip"}) {
    EXPECT_EQ(0, rc[i++]) << format;
    EXPECT_EQ("hi", qvtest::ReadFile(work_ + "/t-" + format + "/" + name)) << format;
  }
}

// Every archive form bsdtar can write (and read back), with and without filters. The
// extracted tree must equal bsdtar's own extraction without owner and permission
// restoring: same names, kinds, contents, link texts, hard-link counts and permission
// bits (umask applied, set-id bits dropped).
struct Form {
  const char* name;
  const char* args;
  bool flat;  // can hold plain files only (pwb cannot hold symbolic links)
};

class ExtractorFormTest : public ExtractorFixture, public ::testing::WithParamInterface<Form> {
 protected:
  // The expected modes below assume this umask; bsdtar inherits it too.
  void SetUp() override {
    saved_umask_ = ::umask(022);
    ExtractorFixture::SetUp();
  }
  void TearDown() override {
    ExtractorFixture::TearDown();
    ::umask(saved_umask_);
  }
  mode_t saved_umask_ = 022;
};

void MakeRichTree(const std::string& root) {
  const std::string long_name(120, 'n');
  ASSERT_EQ(0, qvtest::Shell(
                   "set -e; cd " + root + "; mkdir -p app/bin app/lib/deep app/share; "
                   "printf run > app/bin/run; chmod 755 app/bin/run; "
                   "ln app/bin/run app/bin/run-hard; "
                   "printf secret > app/private; chmod 600 app/private; "
                   "printf suid > app/bin/suid; chmod 4755 app/bin/suid; "
                   "printf sgid > app/bin/sgid; chmod 2775 app/bin/sgid; "
                   "printf world > app/world; chmod 777 app/world; "
                   ": > app/empty; chmod 1777 app/share; chmod 700 app/lib/deep; "
                   "printf deep > app/lib/deep/" + long_name + "; "
                   "head -c 70000 /dev/urandom > app/lib/big.bin; "
                   "ln -s bin/run app/runlink; ln -s ../missing app/dangling"));
}

void MakeFlatTree(const std::string& root) {
  ASSERT_EQ(0, qvtest::Shell("set -e; cd " + root + "; mkdir app; "
                             "printf one > app/one; chmod 755 app/one; "
                             "printf two > app/two; chmod 4755 app/two; "
                             "head -c 30000 /dev/urandom > app/three"));
}

TEST_P(ExtractorFormTest, MatchesBsdtarExtraction) {
  const Form form = GetParam();
  const std::string src = qvtest::MakeTempDir("src");
  if (form.flat) {
    MakeFlatTree(src);
  } else {
    MakeRichTree(src);
  }
  const std::string arch = work_ + "/archive";
  const std::string members = form.flat ? "app/one app/two app/three" : "app";
  ASSERT_EQ(0, qvtest::Shell("bsdtar -c " + std::string(form.args) + " -f " + arch + " -C " +
                             src + " " + members));
  const std::string ours = work_ + "/ours";
  const std::string theirs = qvtest::MakeTempDir("theirs");
  ASSERT_EQ(0, qvtest::Shell("bsdtar -x --no-same-owner --no-same-permissions -f " + arch +
                             " -C " + theirs));

  const int entries = Count(arch, ours);
  ASSERT_GT(entries, 0);
  EXPECT_EQ(entries, std::stoi(qvtest::ShellOutput("bsdtar -tf " + arch + " | wc -l")));
  EXPECT_EQ(0, Extract(arch, ours));
  ASSERT_EQ(static_cast<size_t>(entries), progress_.size());
  EXPECT_EQ(std::make_pair(entries, entries), progress_.back());

  const auto got = Snapshot(ours);
  EXPECT_EQ(Snapshot(theirs), got);
  // Guard against both sides agreeing on nothing much.
  // (ar keeps base names only.)
  std::string one = form.flat ? "/app/one" : "/app/bin/run";
  if (!got.count(one) && form.flat) one = "/one";
  ASSERT_TRUE(got.count(one)) << one;
  EXPECT_NE(std::string::npos, got.at(one).find(form.flat ? " one" : " run"));
  // The iso9660 writer stores its own read-only modes, so only the others show ours.
  if (!form.flat && std::string(form.name) != "iso9660") {
    // Umask applied, set-id and sticky bits dropped.
    EXPECT_EQ(0u, got.at("/app/bin/suid").find("file 0755 "));
    EXPECT_EQ(0u, got.at("/app/bin/sgid").find("file 0755 "));
    EXPECT_EQ(0u, got.at("/app/world").find("file 0755 "));
    EXPECT_EQ(0u, got.at("/app/private").find("file 0600 "));
    EXPECT_EQ("dir 0755", got.at("/app/share"));
    EXPECT_EQ("symlink -> bin/run", got.at("/app/runlink"));
  }
  EXPECT_EQ(0, LogCount("[ERROR]"));
}

const Form kForms[] = {
    {"ustar", "--format ustar", false},   {"pax", "--format pax", false},
    {"gnutar", "--format gnutar", false}, {"v7", "--format v7", false},
    {"odc", "--format odc", false},       {"newc", "--format newc", false},
    {"bin", "--format bin", false},       {"pwb", "--format pwb", true},
    {"zip", "--format zip", false},       {"zip_stored", "--format zip --options zip:compression=store", false},
    {"sevenzip", "--format 7zip", false}, {"iso9660", "--format iso9660", false},
    {"xar", "--format xar", false},       {"warc", "--format warc", true},
    {"ar", "--format ar", true},          {"argnu", "--format argnu", true},
    {"arbsd", "--format arbsd", true},    {"arsvr4", "--format arsvr4", true},
    {"tar_gz", "-z", false},              {"tar_bz2", "-j", false},
    {"tar_xz", "-J", false},              {"tar_lzma", "--lzma", false},
    {"tar_lzip", "--lzip", false},        {"tar_lz4", "--lz4", false},
    {"tar_zstd", "--zstd", false},        {"tar_Z", "-Z", false},
    {"tar_uu", "--uuencode", false},      {"tar_b64", "--b64encode", false},
    {"cpio_gz", "--format newc -z", false}, {"pax_xz", "--format pax -J", false},
};

INSTANTIATE_TEST_SUITE_P(Forms, ExtractorFormTest, ::testing::ValuesIn(kForms),
                         [](const ::testing::TestParamInfo<Form>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace

// copy_data is offered by the class though the launcher itself does not call it. The
// fixture lives outside the anonymous namespace: it is the class Extractor befriends.
class ExtractorCopyDataTest : public ExtractorFixture {
 protected:
  static int CopyData(archive* ar, archive* aw) {
    Extractor extractor;
    return extractor.copy_data(ar, aw);
  }

  // A reader positioned on the first entry of arch.
  static archive* OpenAtFirstEntry(const std::string& arch, archive_entry** entry) {
    archive* reader = archive_read_new();
    archive_read_support_filter_all(reader);
    archive_read_support_format_all(reader);
    if (archive_read_open_filename(reader, arch.c_str(), 10240) != ARCHIVE_OK ||
        archive_read_next_header(reader, entry) != ARCHIVE_OK) {
      archive_read_free(reader);
      return nullptr;
    }
    return reader;
  }
};

TEST_F(ExtractorCopyDataTest, CopiesTheCurrentEntryBlockByBlock) {
  const std::string src = work_ + "/src";
  const std::string arch = work_ + "/one.tar.xz";
  ASSERT_EQ(0, qvtest::Shell("mkdir -p " + src + " && head -c 100000 /dev/urandom > " + src +
                             "/blob && bsdtar -cJf " + arch + " -C " + src + " blob"));
  archive_entry* entry = nullptr;
  archive* reader = OpenAtFirstEntry(arch, &entry);
  ASSERT_NE(nullptr, reader);
  archive* writer = archive_write_disk_new();
  const std::string out = work_ + "/copy";
  archive_entry_set_pathname(entry, out.c_str());
  ASSERT_EQ(ARCHIVE_OK, archive_write_header(writer, entry));

  EXPECT_EQ(0, CopyData(reader, writer));
  EXPECT_EQ(ARCHIVE_OK, archive_write_finish_entry(writer));
  archive_write_free(writer);
  archive_read_free(reader);
  EXPECT_EQ(qvtest::ReadFile(src + "/blob"), qvtest::ReadFile(out));
  EXPECT_EQ(0, LogCount("[ERROR]"));
}

TEST_F(ExtractorCopyDataTest, EachFailureIsReportedWithItsOwnLine) {
  EXPECT_EQ(-1, CopyData(nullptr, nullptr));
  archive* writer = archive_write_disk_new();
  EXPECT_EQ(-1, CopyData(nullptr, writer));
  EXPECT_EQ(2, LogCount("Invalid Argument\n"));

  // Damaged data: the read fails.
  const std::string src = work_ + "/src";
  const std::string arch = work_ + "/cut.tar.gz";
  ASSERT_EQ(0, qvtest::Shell("mkdir -p " + src + " && head -c 300000 /dev/urandom > " + src +
                             "/blob && bsdtar -czf " + arch + " -C " + src +
                             " blob && truncate -s 150000 " + arch));
  archive_entry* entry = nullptr;
  archive* reader = OpenAtFirstEntry(arch, &entry);
  ASSERT_NE(nullptr, reader);
  archive* sink = archive_write_disk_new();
  archive_entry_set_pathname(entry, (work_ + "/cut").c_str());
  ASSERT_EQ(ARCHIVE_OK, archive_write_header(sink, entry));
  EXPECT_EQ(-1, CopyData(reader, sink));
  EXPECT_EQ(1, LogCount("archive_read_data_block failed: '"));
  archive_write_free(sink);
  archive_read_free(reader);

  // A writer that has no entry open refuses the data.
  ASSERT_TRUE(extest::WriteTar(work_ + "/ok.tar", {extest::File("f", "data")}));
  reader = OpenAtFirstEntry(work_ + "/ok.tar", &entry);
  ASSERT_NE(nullptr, reader);
  EXPECT_EQ(-1, CopyData(reader, writer));
  EXPECT_EQ(1, LogCount("archive_write_data_block failed: '"));
  archive_read_free(reader);
  archive_write_free(writer);
}
