// The string type on arbitrary bytes, as UTF-8 and as UTF-16 units. Besides not
// crashing: valid text survives the trip through the other form and invalid text
// converts to nothing; the byte searches and comparisons agree with std::string (but
// for the edges the header names); normalisation is stable and canonical.
#include <fuzzer/FuzzedDataProvider.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <iostream>
#include <stdexcept>
#include <string>

#include "fuzz_util.h"
#include "ustring/ustring.h"

namespace {

const size_t npos = ustring::npos;

std::string Str(const ustring& u) { return std::string(u.c_str(), u.length()); }

std::u16string Units(const ustring& u) { return std::u16string(u.c_str_utf16()); }

int Sign(long long v) { return (v > 0) - (v < 0); }

std::string AsciiLower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// Whether the units pair every surrogate, as UTF-8 needs.
bool WellFormed(const std::u16string& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] >= 0xD800 && s[i] <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      ++i;
    } else if (s[i] >= 0xD800 && s[i] <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

void CheckConversion(const ustring& u, const std::string& text) {
  QVFUZZ_CHECK(Str(u) == text, "the UTF-8 form is not the bytes given");
  const std::u16string units = Units(u);
  if (ustring::is_valid(u)) {
    QVFUZZ_CHECK(units.empty() == text.empty(), "valid text gave no UTF-16 form");
    QVFUZZ_CHECK(Str(ustring(units.c_str())) == text, "the UTF-16 round trip changed the text");
  } else {
    QVFUZZ_CHECK(units.empty(), "invalid text gave a UTF-16 form");
  }
}

void CheckUnits(const std::u16string& units) {
  const ustring u(units.c_str());
  if (WellFormed(units)) {
    QVFUZZ_CHECK(Units(u) == units, "the UTF-8 round trip changed the units");
    QVFUZZ_CHECK(ustring::is_valid(u), "units converted to invalid UTF-8");
  } else {
    QVFUZZ_CHECK(u.empty(), "unpaired surrogates gave a UTF-8 form");
  }
}

// Forward searches give npos from pos >= length(), whatever std::string says there.
size_t Forward(size_t expected, size_t pos, size_t len) { return pos >= len ? npos : expected; }

void CheckSearches(const ustring& u, const std::string& text, const std::string& needle,
                   size_t pos) {
  const ustring n(needle);
  const size_t len = text.size();
  const char c = needle.empty() ? 'a' : needle[0];
  // An empty needle matches backwards from the last byte, not from length().
  const size_t rfind_expected =
      !needle.empty() ? text.rfind(needle, pos) : len == 0 ? npos : std::min(pos, len - 1);
  const struct {
    const char* name;
    size_t got, by_ustring, by_char, expected, expected_char;
  } rows[] = {
      {"find", u.find(needle.c_str(), pos), u.find(n, pos), u.find(c, pos),
       Forward(text.find(needle, pos), pos, len), Forward(text.find(c, pos), pos, len)},
      {"find_first_of", u.find_first_of(needle.c_str(), pos), u.find_first_of(n, pos),
       u.find_first_of(c, pos), Forward(text.find_first_of(needle, pos), pos, len),
       Forward(text.find_first_of(c, pos), pos, len)},
      {"find_first_not_of", u.find_first_not_of(needle.c_str(), pos),
       u.find_first_not_of(n, pos), u.find_first_not_of(c, pos),
       Forward(text.find_first_not_of(needle, pos), pos, len),
       Forward(text.find_first_not_of(c, pos), pos, len)},
      {"rfind", u.rfind(needle.c_str(), pos), u.rfind(n, pos), u.rfind(c, pos), rfind_expected,
       text.rfind(c, pos)},
      {"find_last_of", u.find_last_of(needle.c_str(), pos), u.find_last_of(n, pos),
       u.find_last_of(c, pos), text.find_last_of(needle, pos), text.find_last_of(c, pos)},
      {"find_last_not_of", u.find_last_not_of(needle.c_str(), pos), u.find_last_not_of(n, pos),
       u.find_last_not_of(c, pos), text.find_last_not_of(needle, pos),
       text.find_last_not_of(c, pos)},
  };
  for (const auto& r : rows) {
    QVFUZZ_CHECK(r.got == r.expected && r.by_ustring == r.expected,
                 "%s(needle, %zu) gave %zu, not %zu", r.name, pos, r.got, r.expected);
    QVFUZZ_CHECK(r.by_char == r.expected_char, "%s(char, %zu) gave %zu, not %zu", r.name, pos,
                 r.by_char, r.expected_char);
  }
}

void CheckCompare(const ustring& a, const std::string& x, const ustring& b,
                  const std::string& y, size_t n) {
  const int expected = Sign(x.compare(y));
  QVFUZZ_CHECK(Sign(ustring::compare(a, b)) == expected, "compare disagrees");
  QVFUZZ_CHECK(Sign(ustring::compare(a, b, true)) == Sign(AsciiLower(x).compare(AsciiLower(y))),
               "caseless compare disagrees");
  QVFUZZ_CHECK(Sign(a.compare(b, n)) == Sign(strncmp(x.c_str(), y.c_str(), n)),
               "compare of %zu bytes disagrees", n);
  QVFUZZ_CHECK((a < b) == (expected < 0) && (a == b) == (expected == 0) &&
                   (a > b) == (expected > 0),
               "the operators disagree with compare");
}

void CheckNormalisation(const ustring& u) {
  if (!ustring::is_valid(u)) return;
  const ustring nfc = u.normalize(ustring::NFC);
  const ustring nfd = u.normalize(ustring::NFD);
  QVFUZZ_CHECK(nfc.empty() == u.empty() && nfd.empty() == u.empty(), "normalised to nothing");
  QVFUZZ_CHECK(ustring::is_valid(nfc) && ustring::is_valid(nfd), "normalised to invalid text");
  QVFUZZ_CHECK(nfc.normalize(ustring::NFC) == nfc, "NFC is not stable");
  QVFUZZ_CHECK(nfd.normalize(ustring::NFD) == nfd, "NFD is not stable");
  QVFUZZ_CHECK(nfd.normalize(ustring::NFC) == nfc, "NFC of NFD is not NFC");
  QVFUZZ_CHECK(nfc.normalize(ustring::NFD) == nfd, "NFD of NFC is not NFD");
}

// Edits that switch between the two forms: appended units, a piece, a trim.
void CheckEdits(const ustring& u, const std::string& text, const std::u16string& units,
                const std::string& set, size_t pos, size_t n) {
  ustring mixed(u);
  mixed.append(units.c_str());
  if (WellFormed(units)) {
    // Text that cannot be converted is lost; only the appended units survive.
    const std::string expected =
        (ustring::is_valid(u) ? text : std::string()) + Str(ustring(units.c_str()));
    QVFUZZ_CHECK(Str(mixed) == expected, "appending units gave other text");
  }
  try {
    QVFUZZ_CHECK(Str(u.substr(pos, n)) == text.substr(pos, n), "substr(%zu, %zu)", pos, n);
  } catch (const std::out_of_range&) {
    QVFUZZ_CHECK(pos > text.size(), "substr(%zu, ...) threw inside the text", pos);
  }
  ustring trimmed(u);
  trimmed.trim(set.c_str());
  std::string expected = text;
  if (!set.empty()) {
    const size_t first = expected.find_first_not_of(set);
    expected = first == npos ? std::string()
                             : expected.substr(first, expected.find_last_not_of(set) - first + 1);
  }
  QVFUZZ_CHECK(Str(trimmed) == expected, "trim gave other text");
}

// Up to the first NUL byte: what a C string of these bytes holds.
std::string CString(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Failed conversions warn on standard error; thousands of lines a second help no one.
  std::cerr.rdbuf(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string text = CString(in.ConsumeRandomLengthString(512));
  const std::string other = CString(in.ConsumeRandomLengthString(64));
  const size_t pos = in.ConsumeBool() ? npos : in.ConsumeIntegralInRange<size_t>(0, 600);
  const size_t n = in.ConsumeIntegralInRange<size_t>(0, 600);
  std::u16string units;
  while (in.remaining_bytes() >= 2 && units.size() < 256) {
    const char16_t unit = in.ConsumeIntegral<char16_t>();
    if (unit == 0) break;
    units.push_back(unit);
  }

  const ustring u(text);
  const ustring o(other);
  CheckConversion(u, text);
  CheckUnits(units);
  CheckSearches(u, text, other, pos);
  CheckCompare(u, text, o, other, n);
  CheckNormalisation(u);
  CheckEdits(u, text, units, other, pos, n);
  return 0;
}
