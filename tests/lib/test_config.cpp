#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>

#include "config.h"
#include "test_env.h"

namespace {

typedef std::map<std::string, std::string> Entries;

Entries EntriesOf(const Config& c) { return Entries(c.begin(), c.end()); }

struct ReadResult {
  int rc;
  Entries entries;
};

ReadResult ReadText(const std::string& text) {
  const std::string path = qvtest::MakeTempDir("config") + "/file.conf";
  EXPECT_TRUE(qvtest::WriteFile(path, text));
  Config c;
  const int rc = c.read(path);
  return {rc, EntriesOf(c)};
}

struct LineCase {
  const char* text;
  int rc;
  Entries entries;
};

// One file per line so that each line's verdict is seen on its own.
TEST(ConfigParse, SingleLines) {
  const LineCase cases[] = {
      {"pid=1234\n", 0, {{"pid", "1234"}}},
      {"pid = 1234   # the client\n", 0, {{"pid", "1234"}}},
      {"name = 'a b'\n", 0, {{"name", "a b"}}},
      {"key=\n", -1, {}},
      {"key\n", -1, {}},
      {"=x\n", 0, {{"", "x"}}},
      {"abc#x=1\n", 0, {}},
      {"pid=12 34\n", -1, {}},
      // Quoted values keep spaces, "#" and the other quote; the empty value needs quotes.
      {"v = \"it's # here\"  #c\n", 0, {{"v", "it's # here"}}},
      {"v=''\n", 0, {{"v", ""}}},
      {"v=\"open\n", -1, {}},
      {"v='a'b\n", -1, {}},
      // Unquoted values end at a space or a control byte; "#" inside them is kept.
      {"url=a#b\n", 0, {{"url", "a#b"}}},
      {"k=\tv\t\n", 0, {{"k", "v"}}},
      {"k=v\tx\n", -1, {}},
      {"k=v\r\n", 0, {{"k", "v"}}},
      {"k=\x01\n", -1, {}},
      {"k=a\x7f\n", -1, {}},
      // Key characters are letters, digits, "-", "." and "_" only.
      {"A-z.0_9=1\n", 0, {{"A-z.0_9", "1"}}},
      {"k!=1\n", -1, {}},
      {"k k=1\n", -1, {}},
      {"   \t \n", 0, {}},
      {"# just a comment = x\n", 0, {}},
      {"\n", 0, {}},
      // A lone key at the very end of a file (no line feed) is not followed by anything.
      {"key", 0, {}},
  };
  for (const LineCase& c : cases) {
    const ReadResult r = ReadText(c.text);
    EXPECT_EQ(c.rc, r.rc) << "line: " << c.text;
    EXPECT_EQ(c.entries, r.entries) << "line: " << c.text;
  }
}

TEST(ConfigRead, WholeFiles) {
  // No final line feed, duplicate key (last wins), UTF-8 bytes kept as they are.
  ReadResult r = ReadText(
      "# levels\n\nb=2\na=1\nname=\xc3\xa9t\xc3\xa9\xe2\x82\xac\n  \na=3");
  EXPECT_EQ(0, r.rc);
  EXPECT_EQ((Entries{{"a", "3"}, {"b", "2"}, {"name", "\xc3\xa9t\xc3\xa9\xe2\x82\xac"}}),
            r.entries);

  // One bad line anywhere rejects the whole file.
  r = ReadText("a=1\nb=2\nbad line\nc=3\n");
  EXPECT_EQ(-1, r.rc);
  EXPECT_TRUE(r.entries.empty());
}

TEST(ConfigRead, LinesLongerThanTheBufferArriveInPieces) {
  // 8191 bytes with the line feed fit the 8192-byte buffer.
  const std::string fits = "k=" + std::string(8188, 'v') + "\n";
  ReadResult r = ReadText(fits);
  EXPECT_EQ(0, r.rc);
  EXPECT_EQ(std::string(8188, 'v'), r.entries["k"]);

  // One byte more and only the line feed spills over, as a blank line.
  r = ReadText("k=" + std::string(8189, 'v') + "\n");
  EXPECT_EQ(0, r.rc);
  EXPECT_EQ(std::string(8189, 'v'), r.entries["k"]);

  // Two more: the tail "v\n" is parsed as a line of its own, a key without "=".
  r = ReadText("k=" + std::string(8190, 'v') + "\n");
  EXPECT_EQ(-1, r.rc);
  EXPECT_TRUE(r.entries.empty());

  // The same happens to an overlong comment: its tail is a line of its own.
  r = ReadText("#" + std::string(9000, 'c') + "\n");
  EXPECT_EQ(-1, r.rc);
}

TEST(ConfigRead, SecondReadAddsAndAFailingReadEmptiesEverything) {
  const std::string dir = qvtest::MakeTempDir("config");
  ASSERT_TRUE(qvtest::WriteFile(dir + "/one", "a=1\nb=2\n"));
  ASSERT_TRUE(qvtest::WriteFile(dir + "/two", "b=20\nc=30\n"));
  ASSERT_TRUE(qvtest::WriteFile(dir + "/bad", "d=4\nnot valid\n"));

  Config c;
  ASSERT_EQ(0, c.read(dir + "/one"));
  ASSERT_EQ(0, c.read(dir + "/two"));
  EXPECT_EQ((Entries{{"a", "1"}, {"b", "20"}, {"c", "30"}}), EntriesOf(c));

  // Files that cannot be opened or read leave the store alone.
  EXPECT_EQ(-1, c.read(""));
  EXPECT_EQ(-1, c.read(dir + "/missing"));
  EXPECT_EQ(-1, c.read(dir));
  EXPECT_EQ(3u, c.size());

  EXPECT_EQ(-1, c.read(dir + "/bad"));
  EXPECT_TRUE(c.empty());
}

TEST(ConfigRead, UnreadableFileForAnOrdinaryUser) {
  const std::string path = qvtest::MakeTempDir("config") + "/secret";
  ASSERT_TRUE(qvtest::WriteFile(path, "a=1\n"));
  ASSERT_EQ(0, ::chmod(path.c_str(), 0600));
  EXPECT_EQ(1, qvtest::RunUnprivileged([&] {
              Config c;
              return c.read(path) == -1 && c.empty() ? 1 : 0;
            }));
}

TEST(ConfigAccess, AbsentKeyYieldsEmptyValueAndIterationIsInByteOrder) {
  const std::string path = qvtest::MakeTempDir("config") + "/f";
  ASSERT_TRUE(qvtest::WriteFile(path, "b=2\n_=u\nB=1\n9=n\n"));
  Config c;
  ASSERT_EQ(0, c.read(path));
  EXPECT_EQ("2", c["b"]);
  EXPECT_EQ("", c["absent"]);
  c["set"] = "x";
  std::string order;
  for (Config::const_iterator it = c.begin(); it != c.end(); ++it) order += it->first + ",";
  EXPECT_EQ("9,B,_,absent,b,set,", order);
}

}  // namespace
