// Reading the launcher's log back in tests: each line split at its prefix
//   "YYYY-MM-DDTHH:MM:SS (ppppp:ttttt) [TAG] FILE(LINE): MESSAGE"
// (No std::regex: GCC warns inside it under the sanitizers.)
#pragma once

#include <cctype>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "test_env.h"

namespace qvtest {

struct LogLine {
  std::string raw;      // the whole line without its line feed
  bool parsed = false;  // false, with the parts below empty, when the prefix is malformed
  std::string time, tag, file, message;
  int pid = 0, thread = 0, line = 0;

  // "TAG FILE: MESSAGE", the form most checks compare with.
  std::string Short() const { return tag + " " + file + ": " + message; }
};

namespace logdetail {

inline bool Digits(const std::string& s, size_t from, size_t to) {
  if (from >= to) return false;
  for (size_t i = from; i < to; ++i)
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  return true;
}

// A number right-aligned in at least five columns, from `at` up to `end`.
inline bool PaddedNumber(const std::string& s, size_t at, size_t end, int* value) {
  if (end == std::string::npos || end - at < 5) return false;
  size_t first = at;
  while (first < end && s[first] == ' ') ++first;
  if (!Digits(s, first, end)) return false;
  *value = std::atoi(s.substr(first, end - first).c_str());
  return true;
}

}  // namespace logdetail

inline LogLine ParseLogLine(const std::string& raw) {
  LogLine l;
  l.raw = raw;
  static const char kTime[] = "dddd-dd-ddTdd:dd:dd";
  if (raw.size() < 20) return l;
  for (size_t i = 0; i + 1 < sizeof kTime; ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(raw[i])) != 0;
    if (kTime[i] == 'd' ? !digit : raw[i] != kTime[i]) return l;
  }
  if (raw.compare(19, 2, " (") != 0) return l;
  int pid = 0, thread = 0, line = 0;
  const size_t colon = raw.find(':', 21);
  if (!logdetail::PaddedNumber(raw, 21, colon, &pid)) return l;
  const size_t close = raw.find(") [", colon);
  if (!logdetail::PaddedNumber(raw, colon + 1, close, &thread)) return l;
  const size_t tag_end = raw.find("] ", close + 3);
  if (tag_end == std::string::npos) return l;
  const std::string tag = raw.substr(close + 3, tag_end - close - 3);
  if (tag != "ERROR" && tag != "WARNING" && tag != "NOTE" && tag != "INFO" && tag != "DEBUG")
    return l;
  const size_t paren = raw.find('(', tag_end + 2);
  if (paren == std::string::npos || paren == tag_end + 2) return l;
  const std::string file = raw.substr(tag_end + 2, paren - tag_end - 2);
  if (file.find(' ') != std::string::npos) return l;
  const size_t body = raw.find("): ", paren);
  if (!logdetail::Digits(raw, paren + 1, body == std::string::npos ? paren : body)) return l;
  line = std::atoi(raw.substr(paren + 1, body - paren - 1).c_str());

  l.parsed = true;
  l.time = raw.substr(0, 19);
  l.pid = pid;
  l.thread = thread;
  l.tag = tag;
  l.file = file;
  l.line = line;
  l.message = raw.substr(body + 3);
  return l;
}

// Every line of the log file at path (none when it cannot be read).
inline std::vector<LogLine> ReadLogLines(const std::string& path) {
  std::vector<LogLine> lines;
  std::istringstream in(ReadFile(path));
  for (std::string raw; std::getline(in, raw);) lines.push_back(ParseLogLine(raw));
  return lines;
}

}  // namespace qvtest
