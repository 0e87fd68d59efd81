#include "ustring/ustring.h"

#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <new>
#include <stdexcept>

static_assert(sizeof(uchar16_t) == sizeof(UChar), "UTF-16 unit must match ICU's UChar");

namespace {

const size_t kInitialCap = 4;

// ICU takes int32_t capacities; a buffer larger than that is still used, only partly.
int32_t IcuCap(size_t cap) {
  return cap > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(cap);
}

// The line numbers are part of the message text that callers and logs grep for.
void Warn(const char* func, UErrorCode status, int line) {
  std::cerr << "Warning: " << func << ": error code " << static_cast<int>(status)
            << " at line " << line << std::endl;
}

// Length up to the first NUL unit, reading at most max units.
size_t BoundedLen(const char* s, size_t max) { return strnlen(s, max); }

size_t BoundedLen(const uchar16_t* s, size_t max) {
  size_t n = 0;
  while (n < max && s[n] != 0) ++n;
  return n;
}

// Length of a source that lies inside one of our own buffers: at most len units, and
// never read past the buffer's end (end is one past its last unit).
template <typename Ch>
size_t LenInside(const Ch* s, size_t len, const Ch* end) {
  size_t room = static_cast<size_t>(end - s);
  return BoundedLen(s, len < room ? len : room);
}

// Whether p points into the buffer [begin, begin + cap). std::less gives a total order
// even for pointers into unrelated objects.
template <typename Ch>
bool InBuffer(const Ch* begin, size_t cap, const Ch* p) {
  return std::less_equal<const Ch*>()(begin, p) && std::less<const Ch*>()(p, begin + cap);
}

// 256-entry membership table for the byte-set searches and trims.
struct ByteSet {
  bool has[256];
  explicit ByteSet(const char* s) {
    std::memset(has, 0, sizeof(has));
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p)
      has[*p] = true;
  }
  bool operator()(char c) const { return has[static_cast<unsigned char>(c)]; }
};

// Identity except ASCII A-Z -> a-z; bytes >= 128 are never folded.
struct CaseTable {
  unsigned char map[256];
  CaseTable() {
    for (int i = 0; i < 256; ++i)
      map[i] = static_cast<unsigned char>(i >= 'A' && i <= 'Z' ? i + ('a' - 'A') : i);
  }
};
const CaseTable str_case_cmp;

// True when the needle s matches the text at p, byte by byte.
bool MatchAt(const char* p, const char* s) {
  for (; *s; ++p, ++s)
    if (*p != *s) return false;
  return true;
}

// The searches differ only in what counts as a hit at a position. A forward scan starts
// at pos and stops at the first NUL byte; a backward scan starts at pos, or at the last
// byte when pos is past the end. An empty needle matches at the start and an empty set
// holds nothing, which gives the edge results the header describes.
template <typename Hit>
size_t ScanForward(const char* text, size_t len, size_t pos, Hit hit) {
  if (pos >= len || text[pos] == 0) return ustring::npos;
  for (size_t i = pos; text[i] != 0; ++i)
    if (hit(text + i)) return i;
  return ustring::npos;
}

template <typename Hit>
size_t ScanBackward(const char* text, size_t len, size_t pos, Hit hit) {
  if (len == 0) return ustring::npos;
  size_t start = pos < len ? pos : len - 1;
  for (size_t i = start + 1; i-- > 0;)
    if (hit(text + i)) return i;
  return ustring::npos;
}

}  // namespace

// ---------------------------------------------------------------- internals

void ustring::init() {
  data = static_cast<char*>(std::malloc(kInitialCap));
  wdata = static_cast<uchar16_t*>(std::malloc(kInitialCap * sizeof(uchar16_t)));
  if (data == nullptr || wdata == nullptr) {
    std::free(data);
    std::free(wdata);
    throw std::bad_alloc();
  }
  data_len = 0;
  data_cap = kInitialCap;
  data[0] = 0;
  wdata_len = 0;
  wdata_cap = kInitialCap;
  wdata[0] = 0;
}

void ustring::clear_data() {
  data_len = 0;
  data[0] = 0;
}

void ustring::clear_wdata() const {
  wdata_len = 0;
  wdata[0] = 0;
}

// No allocator can provide more than PTRDIFF_MAX bytes; refusing early also keeps a
// sanitizer build from aborting on an impossible request.
const size_t kMaxBytes = static_cast<size_t>(PTRDIFF_MAX);

namespace {

// Sizes a buffer of n units exactly: it grows when too small and shrinks when n is under
// half of it.
template <typename Ch>
void ResizeBuffer(Ch*& buf, size_t& len, size_t& cap, size_t n) {
  if (cap >= n && n >= cap / 2) return;
  if (n > kMaxBytes / sizeof(Ch)) throw std::bad_alloc();
  Ch* p = static_cast<Ch*>(std::realloc(buf, n * sizeof(Ch)));
  if (p == nullptr) throw std::bad_alloc();
  buf = p;
  cap = n;
  // A shrink may cut the text; keep it terminated inside the new size.
  if (len >= n) {
    len = n - 1;
    buf[len] = 0;
  }
}

}  // namespace

void ustring::realloc_data(size_t n) { ResizeBuffer(data, data_len, data_cap, n); }

void ustring::realloc_wdata(size_t n) const { ResizeBuffer(wdata, wdata_len, wdata_cap, n); }

int ustring::convert_from_data() const {
  UErrorCode status = U_ZERO_ERROR;
  int32_t len = 0;
  u_strFromUTF8(nullptr, 0, &len, data, -1, &status);
  status = U_ZERO_ERROR;
  realloc_wdata(static_cast<size_t>(len) + 1);
  u_strFromUTF8(wdata, IcuCap(wdata_cap), &len, data, -1, &status);
  if (status <= U_ZERO_ERROR) {
    wdata_len = static_cast<size_t>(len);
    wdata[wdata_len] = 0;
    return 0;
  }
  Warn("u_strFromUTF8", status, 946);
  clear_wdata();
  return -1;
}

int ustring::convert_from_wdata() {
  UErrorCode status = U_ZERO_ERROR;
  int32_t len = 0;
  u_strToUTF8(nullptr, 0, &len, wdata, -1, &status);
  status = U_ZERO_ERROR;
  realloc_data(static_cast<size_t>(len) + 1);
  u_strToUTF8(data, IcuCap(data_cap), &len, wdata, -1, &status);
  if (status <= U_ZERO_ERROR) {
    data_len = static_cast<size_t>(len);
    data[data_len] = 0;
    return 0;
  }
  Warn("u_strToUTF8", status, 917);
  clear_data();
  clear_wdata();
  return -1;
}

bool ustring::in_data(const char* p) const { return InBuffer(data, data_cap, p); }

bool ustring::in_wdata(const uchar16_t* p) const { return InBuffer(wdata, wdata_cap, p); }

ustring& ustring::append_bytes(const char* s, size_t n) {
  realloc_data(data_len + n + 1);
  if (n != 0) std::memcpy(data + data_len, s, n);
  data_len += n;
  data[data_len] = 0;
  clear_wdata();
  return *this;
}

ustring& ustring::append_units(const uchar16_t* s, size_t n) {
  // The UTF-16 form is the one edited, so bring it up to date first; if the UTF-8 text
  // cannot be converted, only the appended units survive.
  if (wdata_len == 0 && data_len != 0) convert_from_data();
  realloc_wdata(wdata_len + n + 1);
  if (n != 0) std::memcpy(wdata + wdata_len, s, n * sizeof(uchar16_t));
  wdata_len += n;
  wdata[wdata_len] = 0;
  convert_from_wdata();
  return *this;
}

// ---------------------------------------------------------------- construction

ustring::ustring() { init(); }

// The buffers come from the delegated constructor, so the destructor frees them if the
// assignment throws.
ustring::ustring(const char* s) : ustring() { assign(s); }
ustring::ustring(const std::string& s) : ustring() { assign(s); }
ustring::ustring(const ustring& s) : ustring() { assign(s); }
ustring::ustring(char c) : ustring() { assign(c, 1); }
ustring::ustring(const uchar16_t* s) : ustring() { assign(s); }

ustring::~ustring() {
  std::free(data);
  std::free(wdata);
}

const uchar16_t* ustring::c_str_utf16() const {
  if (wdata_len == 0) convert_from_data();
  return wdata;
}

char& ustring::operator[](size_t pos) {
  // The caller may write through the reference, so the UTF-16 form is marked stale and
  // rebuilt on the next request. Its units are left in place: a pointer taken earlier
  // from c_str_utf16() keeps reading the same text when the caller only reads.
  wdata_len = 0;
  return data[pos];
}

void ustring::clear() {
  clear_data();
  clear_wdata();
}

void ustring::swap(ustring& other) {
  std::swap(data, other.data);
  std::swap(data_len, other.data_len);
  std::swap(data_cap, other.data_cap);
  std::swap(wdata, other.wdata);
  std::swap(wdata_len, other.wdata_len);
  std::swap(wdata_cap, other.wdata_cap);
}

void swap(ustring& a, ustring& b) { a.swap(b); }

// ---------------------------------------------------------------- append

ustring& ustring::append(const char* s) { return append(s, npos); }

ustring& ustring::append(const char* s, size_t len) {
  if (s == nullptr) return append_bytes("", 0);
  if (in_data(s)) {
    // The buffer may move while it grows, so take a copy of the source first. The start
    // of the buffer stands for the whole text, embedded NUL bytes included.
    size_t n = s == data ? std::min(len, data_len) : LenInside(s, len, data + data_cap);
    std::string copy(s, n);
    return append_bytes(copy.data(), n);
  }
  return append_bytes(s, strnlen(s, len));
}

ustring& ustring::append(const std::string& x, size_t pos, size_t len) {
  std::string sub = x.substr(pos, len);
  return append(sub.c_str());
}

ustring& ustring::append(const ustring& x, size_t pos, size_t len) {
  if (pos > x.data_len) throw std::out_of_range("substr");
  size_t avail = x.data_len - pos;
  size_t n = strnlen(x.data + pos, len < avail ? len : avail);
  if (&x == this) {
    std::string copy(x.data + pos, n);
    return append_bytes(copy.data(), n);
  }
  return append_bytes(x.data + pos, n);
}

ustring& ustring::append(char c, size_t n) {
  if (n >= kMaxBytes - data_len) throw std::bad_alloc();
  realloc_data(data_len + n + 1);
  std::memset(data + data_len, c, n);
  data_len += n;
  data[data_len] = 0;
  clear_wdata();
  return *this;
}

ustring& ustring::append(const uchar16_t* s) { return append(s, npos); }

ustring& ustring::append(const uchar16_t* s, size_t len) {
  if (s == nullptr) return append_units(u"", 0);
  if (in_wdata(s)) {
    // Rebuilding or growing the UTF-16 form may move it; copy the source first.
    std::u16string copy(s, LenInside(s, len, wdata + wdata_cap));
    return append_units(copy.data(), copy.size());
  }
  return append_units(s, BoundedLen(s, len));
}

ustring& ustring::append(uchar16_t c, size_t n) {
  if (wdata_len == 0 && data_len != 0) convert_from_data();
  if (n >= kMaxBytes / sizeof(uchar16_t) - wdata_len) throw std::bad_alloc();
  realloc_wdata(wdata_len + n + 1);
  std::fill_n(wdata + wdata_len, n, c);
  wdata_len += n;
  wdata[wdata_len] = 0;
  convert_from_wdata();
  return *this;
}

// ---------------------------------------------------------------- assign

ustring& ustring::assign(const char* s) { return assign(s, npos); }

ustring& ustring::assign(const char* s, size_t len) {
  if (s == data) {
    if (len < data_len) {
      data_len = len;
      data[data_len] = 0;
      clear_wdata();
    }
    return *this;
  }
  if (in_data(s)) {
    std::string copy(s, LenInside(s, len, data + data_cap));
    clear();
    return append_bytes(copy.data(), copy.size());
  }
  clear();
  return append(s, len);
}

ustring& ustring::assign(const std::string& x, size_t pos, size_t len) {
  clear();
  return append(x, pos, len);
}

ustring& ustring::assign(const ustring& x, size_t pos, size_t len) {
  if (&x == this) {
    ustring sub = substr(pos, len);
    clear();
    return append_bytes(sub.data, sub.data_len);
  }
  clear();
  return append(x, pos, len);
}

ustring& ustring::assign(char c, size_t n) {
  clear();
  return append(c, n);
}

ustring& ustring::assign(const uchar16_t* s) {
  // Unlike the counted form, the whole UTF-16 form is left as it is, even when stale.
  if (s == wdata) return *this;
  return assign(s, npos);
}

ustring& ustring::assign(const uchar16_t* s, size_t len) {
  if (s == wdata) {
    // A stale UTF-16 form (after a writable subscript) is brought up to date in place.
    if (wdata_len == 0 && data_len != 0) convert_from_data();
    if (len < wdata_len) {
      wdata_len = len;
      wdata[wdata_len] = 0;
      convert_from_wdata();
    }
    return *this;
  }
  if (in_wdata(s)) {
    std::u16string copy(s, LenInside(s, len, wdata + wdata_cap));
    clear();
    return append_units(copy.data(), copy.size());
  }
  clear();
  return append(s, len);
}

ustring& ustring::assign(uchar16_t c, size_t n) {
  clear();
  return append(c, n);
}

ustring& ustring::operator=(const char* s) { return assign(s); }
ustring& ustring::operator=(const std::string& x) { return assign(x, 0, npos); }
ustring& ustring::operator=(const ustring& x) { return assign(x, 0, npos); }
ustring& ustring::operator=(char c) { return assign(c, 1); }
ustring& ustring::operator=(const uchar16_t* s) { return assign(s); }
ustring& ustring::operator=(uchar16_t c) { return assign(c, 1); }

ustring& ustring::operator+=(const char* s) { return append(s); }
ustring& ustring::operator+=(const std::string& x) { return append(x, 0, npos); }
ustring& ustring::operator+=(const ustring& x) { return append(x, 0, npos); }
ustring& ustring::operator+=(char c) { return append(c, 1); }
ustring& ustring::operator+=(const uchar16_t* s) { return append(s); }
ustring& ustring::operator+=(uchar16_t c) { return append(c, 1); }

ustring operator+(const ustring& lhs, const ustring& rhs) {
  ustring r(lhs);
  r.append(rhs);
  return r;
}

ustring operator+(const ustring& lhs, const char* rhs) {
  ustring r(lhs);
  r.append(rhs);
  return r;
}

ustring operator+(const ustring& lhs, char rhs) {
  ustring r(lhs);
  r.append(rhs, 1);
  return r;
}

ustring operator+(const ustring& lhs, const uchar16_t* rhs) {
  ustring r(lhs);
  r.append(rhs);
  return r;
}

ustring operator+(const ustring& lhs, uchar16_t rhs) {
  ustring r(lhs);
  r.append(rhs, 1);
  return r;
}

// ---------------------------------------------------------------- search

size_t ustring::find(const char* s, size_t pos) const {
  if (s == nullptr) s = "";
  return ScanForward(data, data_len, pos, [s](const char* p) { return MatchAt(p, s); });
}

size_t ustring::find_first_of(const char* s, size_t pos) const {
  ByteSet set(s == nullptr ? "" : s);
  return ScanForward(data, data_len, pos, [&set](const char* p) { return set(*p); });
}

size_t ustring::find_first_not_of(const char* s, size_t pos) const {
  ByteSet set(s == nullptr ? "" : s);
  return ScanForward(data, data_len, pos, [&set](const char* p) { return !set(*p); });
}

size_t ustring::rfind(const char* s, size_t pos) const {
  if (s == nullptr) s = "";
  return ScanBackward(data, data_len, pos, [s](const char* p) { return MatchAt(p, s); });
}

size_t ustring::find_last_of(const char* s, size_t pos) const {
  ByteSet set(s == nullptr ? "" : s);
  return ScanBackward(data, data_len, pos, [&set](const char* p) { return set(*p); });
}

size_t ustring::find_last_not_of(const char* s, size_t pos) const {
  ByteSet set(s == nullptr ? "" : s);
  return ScanBackward(data, data_len, pos, [&set](const char* p) { return !set(*p); });
}

// The other forms only change how the needle or set is given.
#define USTRING_SEARCH_FORMS(NAME)                                                   \
  size_t ustring::NAME(const std::string& x, size_t pos) const {                     \
    return NAME(x.c_str(), pos);                                                     \
  }                                                                                  \
  size_t ustring::NAME(const ustring& x, size_t pos) const { return NAME(x.data, pos); } \
  size_t ustring::NAME(char c, size_t pos) const {                                   \
    const char s[2] = {c, 0};                                                        \
    return NAME(s, pos);                                                             \
  }

USTRING_SEARCH_FORMS(find)
USTRING_SEARCH_FORMS(find_first_of)
USTRING_SEARCH_FORMS(find_first_not_of)
USTRING_SEARCH_FORMS(rfind)
USTRING_SEARCH_FORMS(find_last_of)
USTRING_SEARCH_FORMS(find_last_not_of)

#undef USTRING_SEARCH_FORMS

// ---------------------------------------------------------------- trim, substr, replace

ustring& ustring::ltrim(const char* list) {
  if (list == nullptr || *list == 0 || data_len == 0) return *this;
  ByteSet set(list);
  size_t i = 0;
  while (i < data_len && set(data[i])) ++i;
  if (i != 0) {
    std::memmove(data, data + i, data_len - i + 1);
    data_len -= i;
    clear_wdata();
  }
  return *this;
}

ustring& ustring::rtrim(const char* list) {
  if (list == nullptr || *list == 0 || data_len == 0) return *this;
  ByteSet set(list);
  size_t end = data_len;
  while (end > 0 && set(data[end - 1])) --end;
  if (end != data_len) {
    data[end] = 0;
    data_len = end;
    clear_wdata();
  }
  return *this;
}

ustring& ustring::trim(const char* list) {
  if (list == nullptr) return *this;
  // The set may be this string itself; trimming would change it midway.
  if (in_data(list)) {
    std::string copy(list);
    return trim(copy.c_str());
  }
  ltrim(list);
  return rtrim(list);
}

ustring& ustring::ltrim(const ustring& list) { return ltrim(list.data); }
ustring& ustring::rtrim(const ustring& list) { return rtrim(list.data); }
ustring& ustring::trim(const ustring& list) { return trim(list.data); }

ustring ustring::substr(size_t start, size_t len) const {
  if (start > data_len) throw std::out_of_range("substr");
  size_t avail = data_len - start;
  size_t n = len < avail ? len : avail;
  ustring r;
  r.append(data + start, n);
  return r;
}

ustring& ustring::replace(char c1, char c2) {
  bool changed = false;
  for (char* p = data; *p; ++p) {
    if (*p == c1) {
      *p = c2;
      changed = true;
    }
  }
  if (changed) clear_wdata();
  return *this;
}

// ---------------------------------------------------------------- compare

int ustring::compare(const ustring& a, const ustring& b, bool caseless) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(a.data);
  const unsigned char* q = reinterpret_cast<const unsigned char*>(b.data);
  for (;; ++p, ++q) {
    int x = caseless ? str_case_cmp.map[*p] : *p;
    int y = caseless ? str_case_cmp.map[*q] : *q;
    if (x != y) return x - y;
    if (*p == 0) return 0;
  }
}

int ustring::compare(const ustring& str) const { return compare(*this, str, false); }

int ustring::compare(const ustring& str, size_t n) const {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  const unsigned char* q = reinterpret_cast<const unsigned char*>(str.data);
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != q[i]) return p[i] - q[i];
    if (p[i] == 0) return 0;
  }
  return 0;
}

bool operator<(const ustring& a, const ustring& b) { return ustring::compare(a, b) < 0; }
bool operator>(const ustring& a, const ustring& b) { return ustring::compare(a, b) > 0; }
bool operator<=(const ustring& a, const ustring& b) { return ustring::compare(a, b) <= 0; }
bool operator>=(const ustring& a, const ustring& b) { return ustring::compare(a, b) >= 0; }
bool operator==(const ustring& a, const ustring& b) { return ustring::compare(a, b) == 0; }
bool operator!=(const ustring& a, const ustring& b) { return ustring::compare(a, b) != 0; }

// ---------------------------------------------------------------- Unicode

ustring ustring::normalize(const ustring& x, normalization_form n) {
  ustring result;
  if (x.empty()) return result;

  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* norm =
      unorm2_getInstance(nullptr, "nfc", n == NFD ? UNORM2_DECOMPOSE : UNORM2_COMPOSE, &status);
  if (status > U_ZERO_ERROR || norm == nullptr) {
    Warn("unorm2_getInstance", status, 983);
    return result;
  }

  const uchar16_t* src = x.c_str_utf16();
  int32_t len = unorm2_normalize(norm, src, -1, nullptr, 0, &status);
  result.realloc_wdata(static_cast<size_t>(len) + 1);
  status = U_ZERO_ERROR;
  len = unorm2_normalize(norm, src, -1, result.wdata, IcuCap(result.wdata_cap), &status);
  if (status > U_ZERO_ERROR) {
    Warn("unorm2_normalize", status, 996);
    result.clear();
    return result;
  }
  result.wdata_len = static_cast<size_t>(len);
  result.wdata[result.wdata_len] = 0;
  result.convert_from_wdata();
  return result;
}

ustring ustring::normalize(normalization_form n) const { return normalize(*this, n); }

bool ustring::is_valid(const ustring& x) {
  if (x.empty()) return true;
  UErrorCode status = U_ZERO_ERROR;
  int32_t len = 0;
  u_strFromUTF8(nullptr, 0, &len, x.data, -1, &status);
  return status != U_INVALID_CHAR_FOUND;
}

// ---------------------------------------------------------------- streams

std::ostream& operator<<(std::ostream& os, const ustring& x) { return os << x.c_str(); }

std::istream& operator>>(std::istream& is, ustring& x) {
  std::string word;
  if (is >> word) x.assign(word);
  return is;
}
