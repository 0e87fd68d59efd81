// Byte-level behaviour of ustring: buffers, append/assign, searches, trims, compare.
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>

#include "ustring/ustring.h"

namespace {

// Exposes the buffer bookkeeping so the exact-size rule can be checked.
struct Probe : ustring {
  using ustring::ustring;
  using ustring::operator=;
  size_t cap() const { return data_cap; }
  size_t wcap() const { return wdata_cap; }
  size_t wlen() const { return wdata_len; }
};

const size_t npos = ustring::npos;

TEST(UstringBuffer, NewStringHasFourOfEachAndSizesExactly) {
  Probe s;
  EXPECT_EQ(s.cap(), 4u);
  EXPECT_EQ(s.wcap(), 4u);
  EXPECT_TRUE(s.empty());
  EXPECT_STREQ(s.c_str(), "");

  s.append("abc");
  EXPECT_EQ(s.cap(), 4u);
  s.append("d");  // 3 bytes + 1 in a 4-byte buffer grows to exactly 5
  EXPECT_EQ(s.cap(), 5u);
  s.append("", 0);  // an empty append still asks for length + 1
  EXPECT_EQ(s.cap(), 5u);

  Probe big(std::string(99, 'x'));
  EXPECT_EQ(big.cap(), 100u);
  big.assign("abc");
  EXPECT_EQ(big.cap(), 4u);
  EXPECT_STREQ(big.c_str(), "abc");

  // clear keeps the buffer; the next assign shrinks it to fit
  Probe mid(std::string(9, 'y'));
  mid.clear();
  EXPECT_EQ(mid.cap(), 10u);
  EXPECT_EQ(mid.size(), 0u);
}

TEST(UstringAppend, FamilyBySource) {
  ustring s;
  s.append("ab").append("cdef", 2).append(std::string("xyz"), 1, 1).append('!', 2);
  EXPECT_STREQ(s.c_str(), "abcdy!!");
  s.append("q\0r", 3);  // stops at the terminator
  EXPECT_STREQ(s.c_str(), "abcdy!!q");

  ustring t("0123456789");
  s.assign(t, 7);
  EXPECT_EQ(s, "789");
  s.assign(t, 2, 3);
  EXPECT_EQ(s, "234");

  // a string form stops at the first NUL byte
  s.assign(std::string("ab\0cd", 5));
  EXPECT_EQ(s.size(), 2u);

  // a NUL char counts in the length
  ustring z;
  z.append('\0', 2);
  EXPECT_EQ(z.size(), 2u);

  EXPECT_EQ(ustring('x'), "x");
  EXPECT_EQ(ustring("dir") + "/" + ustring("file") + '.' + std::string("txt"), "dir/file.txt");
  ustring cat("a");
  cat += "b";
  cat += 'c';
  cat += std::string("d");
  cat += ustring("e");
  EXPECT_EQ(cat, "abcde");
}

TEST(UstringAppend, RangeErrors) {
  ustring s("keep");
  try {
    s.assign(ustring("abc"), 4);
    FAIL() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "substr");
  }
  EXPECT_TRUE(s.empty());

  s = "keep";
  EXPECT_THROW(s.append(ustring("abc"), 5), std::out_of_range);
  EXPECT_EQ(s, "keep");
  EXPECT_THROW(s.assign(std::string("abc"), 4), std::out_of_range);
  EXPECT_TRUE(s.empty());

  // assigning from itself checks the range before touching anything
  s = "keep";
  EXPECT_THROW(s.assign(s, 5), std::out_of_range);
  EXPECT_EQ(s, "keep");

  // an impossible size is refused and leaves the string as it was
  EXPECT_THROW(s.append('x', npos / 2), std::bad_alloc);
  EXPECT_THROW(s.append(u'x', npos / 4), std::bad_alloc);
  EXPECT_EQ(s, "keep");
}

// Sources inside the string's own buffer must survive the buffer moving while it grows.
TEST(UstringAppend, SourceInsideOwnBuffer) {
  ustring s("abcdefgh");
  s.append(s.c_str());
  EXPECT_EQ(s, "abcdefghabcdefgh");

  s = "abcdefgh";
  s.append(s.c_str() + 5);  // middle of the buffer
  EXPECT_EQ(s, "abcdefghfgh");

  s = "abcdefgh";
  s.append(s.c_str() + 2, 3);
  EXPECT_EQ(s, "abcdefghcde");

  s = "abcdefgh";
  s.append(s.c_str(), 100);
  EXPECT_EQ(s, "abcdefghabcdefgh");

  s = "abcdefgh";
  s.append(s);
  s.append(s, 14);
  EXPECT_EQ(s, "abcdefghabcdefghgh");

  s = "abcdefgh";
  s.assign(s.c_str() + 3);
  EXPECT_EQ(s, "defgh");
  s.assign(s.c_str() + 1, 2);
  EXPECT_EQ(s, "ef");
  s.assign(s.c_str());
  EXPECT_EQ(s, "ef");
  s.assign(s.c_str(), 1);  // own start with a count truncates
  EXPECT_EQ(s, "e");

  s = "abcdef";
  s = s;
  EXPECT_EQ(s, "abcdef");
  s.assign(s, 2, 2);
  EXPECT_EQ(s, "cd");
  s.trim(s.c_str() + 1);  // the set is the string's own tail: "d"
  EXPECT_EQ(s, "c");
}

TEST(UstringSearch, ForwardEdges) {
  ustring s("abc");
  EXPECT_EQ(s.find("", 3), npos);
  EXPECT_EQ(s.find("", 1), 1u);
  EXPECT_EQ(s.find("", 4), npos);
  EXPECT_EQ(s.find_first_of("", 0), npos);
  EXPECT_EQ(s.find_first_not_of("", 1), 1u);
  EXPECT_EQ(ustring().find(""), npos);
  EXPECT_EQ(s.find('\0'), 0u);  // a NUL char is the empty needle

  ustring p("/home/u/dir/file.txt");
  EXPECT_EQ(p.find("dir"), 8u);
  EXPECT_EQ(p.find(std::string("/"), 1), 5u);
  EXPECT_EQ(p.find(ustring("u/d")), 6u);
  EXPECT_EQ(p.find('/', 12), npos);
  EXPECT_EQ(p.find("txt!"), npos);  // needle running past the end
  EXPECT_EQ(p.find_first_of("./", 6), 7u);
  EXPECT_EQ(p.find_first_not_of("/emoh", 0), 6u);
  EXPECT_EQ(ustring("aaa").find_first_not_of('a'), npos);
}

TEST(UstringSearch, BackwardEdges) {
  ustring s("abc");
  EXPECT_EQ(s.rfind("", npos), 2u);
  EXPECT_EQ(s.rfind("", 1), 1u);
  EXPECT_EQ(s.find_last_not_of("", npos), 2u);
  EXPECT_EQ(s.find_last_of("", npos), npos);
  EXPECT_EQ(ustring().rfind(""), npos);
  EXPECT_EQ(ustring().find_last_not_of("x"), npos);

  ustring p("/a/b/c.d/e");
  EXPECT_EQ(p.rfind('/'), 8u);
  EXPECT_EQ(p.rfind("/", 7), 4u);
  EXPECT_EQ(p.rfind(ustring("/a")), 0u);
  EXPECT_EQ(p.rfind("e/"), npos);
  EXPECT_EQ(p.find_last_of(std::string("./"), 7), 6u);
  EXPECT_EQ(p.find_last_not_of("/e"), 7u);
  EXPECT_EQ(p.find_last_of('x'), npos);
  EXPECT_EQ(p.find_last_of("/", 100), 8u);  // beyond the end starts at the last byte
}

TEST(UstringSubstr, Bounds) {
  ustring s("abc");
  try {
    (void)s.substr(4);
    FAIL() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "substr");
  }
  EXPECT_TRUE(s.substr(3).empty());
  EXPECT_EQ(s.substr(1, 100), "bc");
  EXPECT_EQ(s.substr(1, npos - 1), "bc");
  EXPECT_EQ(s.substr(0, 2), "ab");
}

TEST(UstringTrim, SetsOfBytes) {
  ustring s(" /a b/ ");
  s.trim(" /");
  EXPECT_EQ(s, "a b");
  EXPECT_EQ(s.size(), 3u);

  ustring only(" // /");
  only.trim(ustring(" /"));
  EXPECT_TRUE(only.empty());

  ustring l("  x  ");
  l.ltrim("");
  EXPECT_EQ(l, "  x  ");
  l.ltrim(" ");
  EXPECT_EQ(l, "x  ");
  l.rtrim(" ");
  EXPECT_EQ(l, "x");

  ustring r("path///");
  r.rtrim("/").replace('a', 'A');
  EXPECT_EQ(r, "pAth");
}

TEST(UstringCompare, BytesAndAsciiFolding) {
  EXPECT_EQ(ustring::compare("ABC", "abc", true), 0);
  EXPECT_NE(ustring::compare("ABC", "abc", false), 0);
  // U+00C9 vs U+00E9: only ASCII letters fold
  EXPECT_NE(ustring::compare("\xC3\x89", "\xC3\xA9", true), 0);
  EXPECT_LT(ustring("a").compare("ab"), 0);
  EXPECT_GT(ustring("\xC3\xA9").compare("z"), 0);  // bytes compare unsigned
  EXPECT_EQ(ustring("abcX").compare("abcY", 3), 0);
  EXPECT_LT(ustring("abcX").compare("abcY", 4), 0);
  EXPECT_EQ(ustring("a").compare("b", 0), 0);
  EXPECT_EQ(ustring("ab").compare("a", 5), 'b');

  ustring a("a"), b("b");
  EXPECT_TRUE(a < b && b > a && a <= a && a >= a && a != b && a == ustring("a"));
  EXPECT_FALSE(b < a || a > b || b <= a || a >= b || a == b);
}

TEST(UstringMisc, StreamsSwapAndSubscript) {
  std::istringstream in("  first second");
  ustring w;
  in >> w;
  EXPECT_EQ(w, "first");
  std::ostringstream out;
  out << w << '|' << ustring("x");
  EXPECT_EQ(out.str(), "first|x");

  Probe a(std::string(20, 'a'));
  Probe b("b");
  swap(a, b);
  EXPECT_EQ(a, "b");
  EXPECT_EQ(b.size(), 20u);
  EXPECT_EQ(b.cap(), 21u);
  EXPECT_EQ(a.cap(), 4u);

  ustring s("abc");
  s[1] = 'X';
  const ustring& cs = s;
  EXPECT_EQ(cs[1], 'X');
  EXPECT_EQ(s, "aXc");
}

}  // namespace
