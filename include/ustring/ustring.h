// String type for paths and names: a NUL-terminated UTF-8 form handed to the system,
// plus a UTF-16 form built on demand for Unicode work (normalisation).
//
// Positions and lengths are UTF-8 byte offsets. Buffers are sized exactly (no geometric
// growth), so building a long string piece by piece costs one reallocation per piece.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>

// One UTF-16 code unit; the same type as ICU's UChar, so the UTF-16 form can be handed
// to ICU directly.
typedef char16_t uchar16_t;

class ustring {
 public:
  static constexpr size_t npos = static_cast<size_t>(-1);

  enum normalization_form { NFC = 0, NFD = 1 };

  ustring();
  ustring(const char* s);
  ustring(const std::string& s);
  ustring(const ustring& s);
  ustring(char c);
  ustring(const uchar16_t* s);
  ~ustring();

  const char* c_str() const { return data; }
  const char* c_str_utf8() const { return data; }
  // Rebuilds the UTF-16 form when it is empty, so it changes mutable state.
  const uchar16_t* c_str_utf16() const;

  size_t length() const { return data_len; }
  size_t size() const { return data_len; }
  bool empty() const { return data_len == 0; }

  // Unchecked. The writable form marks the UTF-16 form stale, since the caller may edit
  // bytes through it.
  const char& operator[](size_t pos) const { return data[pos]; }
  char& operator[](size_t pos);

  void clear();
  void swap(ustring& other);

  // UTF-8 sources.
  ustring& append(const char* s);
  ustring& append(const char* s, size_t len);
  ustring& append(const std::string& x, size_t pos = 0, size_t len = npos);
  ustring& append(const ustring& x, size_t pos = 0, size_t len = npos);
  ustring& append(char c, size_t n = 1);
  // UTF-16 sources: edit the UTF-16 form, then rebuild the UTF-8 form from it.
  ustring& append(const uchar16_t* s);
  ustring& append(const uchar16_t* s, size_t len);
  ustring& append(uchar16_t c, size_t n = 1);

  ustring& assign(const char* s);
  ustring& assign(const char* s, size_t len);
  ustring& assign(const std::string& x, size_t pos = 0, size_t len = npos);
  ustring& assign(const ustring& x, size_t pos = 0, size_t len = npos);
  ustring& assign(char c, size_t n = 1);
  ustring& assign(const uchar16_t* s);
  ustring& assign(const uchar16_t* s, size_t len);
  ustring& assign(uchar16_t c, size_t n = 1);

  ustring& operator=(const char* s);
  ustring& operator=(const std::string& x);
  ustring& operator=(const ustring& x);
  ustring& operator=(char c);
  ustring& operator=(const uchar16_t* s);
  ustring& operator=(uchar16_t c);

  ustring& operator+=(const char* s);
  ustring& operator+=(const std::string& x);
  ustring& operator+=(const ustring& x);
  ustring& operator+=(char c);
  ustring& operator+=(const uchar16_t* s);
  ustring& operator+=(uchar16_t c);

  // Byte searches on the UTF-8 form; npos when nothing is found. At the edges they
  // differ from std::string: a forward search from pos >= length() gives npos even for
  // an empty needle, and a backward search from npos starts at length() - 1.
  size_t find(const char* s, size_t pos = 0) const;
  size_t find(const std::string& x, size_t pos = 0) const;
  size_t find(const ustring& x, size_t pos = 0) const;
  size_t find(char c, size_t pos = 0) const;

  size_t find_first_of(const char* s, size_t pos = 0) const;
  size_t find_first_of(const std::string& x, size_t pos = 0) const;
  size_t find_first_of(const ustring& x, size_t pos = 0) const;
  size_t find_first_of(char c, size_t pos = 0) const;

  size_t find_first_not_of(const char* s, size_t pos = 0) const;
  size_t find_first_not_of(const std::string& x, size_t pos = 0) const;
  size_t find_first_not_of(const ustring& x, size_t pos = 0) const;
  size_t find_first_not_of(char c, size_t pos = 0) const;

  size_t rfind(const char* s, size_t pos = npos) const;
  size_t rfind(const std::string& x, size_t pos = npos) const;
  size_t rfind(const ustring& x, size_t pos = npos) const;
  size_t rfind(char c, size_t pos = npos) const;

  size_t find_last_of(const char* s, size_t pos = npos) const;
  size_t find_last_of(const std::string& x, size_t pos = npos) const;
  size_t find_last_of(const ustring& x, size_t pos = npos) const;
  size_t find_last_of(char c, size_t pos = npos) const;

  size_t find_last_not_of(const char* s, size_t pos = npos) const;
  size_t find_last_not_of(const std::string& x, size_t pos = npos) const;
  size_t find_last_not_of(const ustring& x, size_t pos = npos) const;
  size_t find_last_not_of(char c, size_t pos = npos) const;

  // Strip bytes of the set `list` from the front, the back or both; edits in place.
  ustring& ltrim(const char* list);
  ustring& ltrim(const ustring& list);
  ustring& rtrim(const char* list);
  ustring& rtrim(const ustring& list);
  ustring& trim(const char* list);
  ustring& trim(const ustring& list);

  // Throws std::out_of_range("substr") when start > length().
  ustring substr(size_t start = 0, size_t len = npos) const;

  // Every byte c1 becomes c2 (up to the first NUL byte).
  ustring& replace(char c1, char c2);

  // Byte-wise, unsigned; caseless folds only ASCII A-Z.
  static int compare(const ustring& a, const ustring& b, bool caseless = false);
  int compare(const ustring& str) const;
  int compare(const ustring& str, size_t n) const;

  static ustring normalize(const ustring& x, normalization_form n);
  ustring normalize(normalization_form n) const;

  // False only for malformed UTF-8.
  static bool is_valid(const ustring& x);

 protected:
  char* data;
  size_t data_len;
  size_t data_cap;
  mutable uchar16_t* wdata;
  mutable size_t wdata_len;
  mutable size_t wdata_cap;

  void init();
  void clear_data();
  void clear_wdata() const;
  void realloc_data(size_t n);
  void realloc_wdata(size_t n) const;
  int convert_from_data() const;
  int convert_from_wdata();

 private:
  ustring& append_bytes(const char* s, size_t n);
  ustring& append_units(const uchar16_t* s, size_t n);
  bool in_data(const char* p) const;
  bool in_wdata(const uchar16_t* p) const;
};

bool operator<(const ustring& a, const ustring& b);
bool operator>(const ustring& a, const ustring& b);
bool operator<=(const ustring& a, const ustring& b);
bool operator>=(const ustring& a, const ustring& b);
bool operator==(const ustring& a, const ustring& b);
bool operator!=(const ustring& a, const ustring& b);

ustring operator+(const ustring& lhs, const ustring& rhs);
ustring operator+(const ustring& lhs, const char* rhs);
ustring operator+(const ustring& lhs, char rhs);
ustring operator+(const ustring& lhs, const uchar16_t* rhs);
ustring operator+(const ustring& lhs, uchar16_t rhs);

std::ostream& operator<<(std::ostream& os, const ustring& x);
std::istream& operator>>(std::istream& is, ustring& x);

void swap(ustring& a, ustring& b);
