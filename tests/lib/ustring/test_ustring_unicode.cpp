// The UTF-16 form of ustring: lazy rebuild, UTF-16 input, normalisation, validity and
// the warnings written on conversion failures.
#include <gtest/gtest.h>

#include <string>

#include "ustring/ustring.h"

namespace {

struct Probe : ustring {
  using ustring::ustring;
  size_t wlen() const { return wdata_len; }
  size_t wcap() const { return wdata_cap; }
  size_t cap() const { return data_cap; }
};

std::u16string U16(const ustring& s) { return std::u16string(s.c_str_utf16()); }

const char kInvalid[] = "\xC3\x28";  // lead byte followed by a non-continuation byte

TEST(UstringUtf16, BuiltOnDemandAndDroppedOnEdit) {
  Probe s;
  s.assign("h\xC3\xA9llo");
  EXPECT_EQ(s.wlen(), 0u);
  EXPECT_EQ(U16(s), u"h\u00e9llo");
  EXPECT_EQ(s.wlen(), 5u);
  EXPECT_EQ(s.size(), 6u);

  s.append("!");
  EXPECT_EQ(s.wlen(), 0u);
  EXPECT_EQ(U16(s), u"h\u00e9llo!");

  // every in-place edit invalidates the UTF-16 form too
  s.replace('!', '?');
  EXPECT_EQ(U16(s), u"h\u00e9llo?");
  s.trim("?");
  EXPECT_EQ(U16(s), u"h\u00e9llo");
  const uchar16_t* before = s.c_str_utf16();
  EXPECT_EQ(s[1], '\xC3');  // a read through the writable subscript keeps the text
  EXPECT_EQ(std::u16string(before), u"h\u00e9llo");
  s[0] = 'H';
  EXPECT_EQ(U16(s), u"H\u00e9llo");
  s.append(s.c_str_utf16(), 1);
  const uchar16_t* w = s.c_str_utf16();
  s[5] = 'O';
  s.assign(w, 5);  // the stale form is rebuilt before truncating
  EXPECT_EQ(s, ustring("H\xC3\xA9llO"));

  // copies take the UTF-8 text only
  Probe c(s);
  EXPECT_EQ(c.wlen(), 0u);
  EXPECT_EQ(c, s);
}

TEST(UstringUtf16, InputRebuildsUtf8AtOnce) {
  Probe s(u"\u00e9t\u00e9");
  EXPECT_STREQ(s.c_str(), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(s.wlen(), 3u);

  s.append(u"/\U0001F600");
  EXPECT_STREQ(s.c_str(), "\xC3\xA9t\xC3\xA9/\xF0\x9F\x98\x80");
  s.append(u'x', 2).append(u"abc", 1);
  EXPECT_EQ(U16(s), u"\u00e9t\u00e9/\U0001F600xxa");

  s.assign(u"\u00e9", 5);
  EXPECT_STREQ(s.c_str(), "\xC3\xA9");
  s.assign(s.c_str_utf16(), 0);  // own UTF-16 buffer with a count truncates
  EXPECT_TRUE(s.empty());

  ustring t("ab");
  t += u'\u00e9';
  t = t + u"c" + u'd';
  EXPECT_STREQ(t.c_str(), "ab\xC3\xA9" "cd");
  t = u'z';
  EXPECT_EQ(t, "z");
}

TEST(UstringUtf16, SourceInsideOwnBuffer) {
  ustring s("\xC3\xA9t\xC3\xA9-long-enough");
  s.append(s.c_str_utf16());
  EXPECT_EQ(s, ustring("\xC3\xA9t\xC3\xA9-long-enough\xC3\xA9t\xC3\xA9-long-enough"));

  s = "abcdefgh";
  s.append(s.c_str_utf16() + 4);
  EXPECT_EQ(s, "abcdefghefgh");
  s.append(s.c_str_utf16() + 1, 2);
  EXPECT_EQ(s, "abcdefghefghbc");
  s.assign(s.c_str_utf16() + 10);
  EXPECT_EQ(s, "ghbc");
  s.assign(s.c_str_utf16() + 1, 2);
  EXPECT_EQ(s, "hb");
  s.assign(s.c_str_utf16());
  EXPECT_EQ(s, "hb");
}

TEST(UstringUtf16, ConversionFailuresWarnOnStderr) {
  Probe bad(kInvalid);
  testing::internal::CaptureStderr();
  const uchar16_t* w = bad.c_str_utf16();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(w[0], 0);
  EXPECT_EQ(bad.size(), 2u);  // the UTF-8 bytes are kept
  EXPECT_EQ(err, "Warning: u_strFromUTF8: error code 10 at line 946\n");

  // appending UTF-16 text cannot rebuild the old text: only the new text remains
  testing::internal::CaptureStderr();
  bad.append(u"ok");
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(bad, "ok");

  // an unpaired surrogate cannot be written as UTF-8: everything is dropped
  ustring s("keep");
  const uchar16_t lone[] = {u'a', 0xD800, 0};
  testing::internal::CaptureStderr();
  s.append(lone);
  err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(s.empty());
  EXPECT_EQ(U16(s), u"");
  EXPECT_EQ(err, "Warning: u_strToUTF8: error code 10 at line 917\n");
}

TEST(UstringUnicode, NormalizeAndValidity) {
  ustring decomposed("e\xCC\x81");
  ustring nfc = decomposed.normalize(ustring::NFC);
  EXPECT_STREQ(nfc.c_str(), "\xC3\xA9");
  EXPECT_EQ(U16(nfc), u"\u00e9");
  ustring nfd = ustring::normalize(nfc, ustring::NFD);
  EXPECT_EQ(nfd, decomposed);
  EXPECT_EQ(U16(nfd), u"e\u0301");
  EXPECT_TRUE(ustring::normalize(ustring(), ustring::NFC).empty());
  // longer than the initial buffer, with text that needs no change
  ustring path("/home/u/\xC3\xA9t\xC3\xA9/caf\xC3\xA9.txt");
  EXPECT_EQ(path.normalize(ustring::NFC), path);

  EXPECT_FALSE(ustring::is_valid(kInvalid));
  EXPECT_TRUE(ustring::is_valid(""));
  EXPECT_TRUE(ustring::is_valid("plain"));
  EXPECT_TRUE(ustring::is_valid("\xE2\x82\xAC \xF0\x9F\x98\x80 e\xCC\x81"));
  EXPECT_FALSE(ustring::is_valid("ok\xF0\x9F\x98"));  // truncated four-byte sequence
}

}  // namespace
