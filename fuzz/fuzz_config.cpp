// The key=value reader on arbitrary file contents. Besides not crashing: a rejected file
// delivers nothing; keys hold key characters only and values no control bytes; and the
// entries delivered, written back as key=value lines, read back the same.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "config.h"
#include "fuzz_util.h"

namespace {

bool IsKeyChar(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         c == '-' || c == '.' || c == '_';
}

// The line that reads back as key and value; empty when there is none. A value is
// quoted with a quote it does not hold; one that holds both was read unquoted, so it
// has no blank and does not start with a quote.
std::string LineFor(const std::string& key, const std::string& value) {
  if (value.find('"') == std::string::npos) return key + "=\"" + value + "\"\n";
  if (value.find('\'') == std::string::npos) return key + "='" + value + "'\n";
  if (value.find(' ') == std::string::npos) return key + "=" + value + "\n";
  return std::string();
}

// The reader takes lines of up to 8191 bytes at a time; longer ones are cut.
const size_t kLongestLine = 8191;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qvfuzz::MemFile file;
  file.Set(data, size);
  Config config;
  const int rc = config.read(file.path());
  QVFUZZ_CHECK(rc == 0 || rc == -1, "read returned %d", rc);
  if (rc != 0) {
    QVFUZZ_CHECK(config.empty(), "a rejected file delivered %zu entries", config.size());
    return 0;
  }

  std::string text;
  bool short_lines = true;
  for (const auto& entry : config) {
    for (unsigned char c : entry.first) {
      QVFUZZ_CHECK(IsKeyChar(c), "key '%s' holds byte %d", entry.first.c_str(), c);
    }
    for (unsigned char c : entry.second) {
      QVFUZZ_CHECK(c >= 32 && c != 127, "value of '%s' holds byte %d", entry.first.c_str(), c);
    }
    const std::string line = LineFor(entry.first, entry.second);
    QVFUZZ_CHECK(!line.empty(), "value of '%s' cannot be written back", entry.first.c_str());
    if (line.size() > kLongestLine) short_lines = false;
    text += line;
  }
  if (!short_lines) return 0;
  file.Set(text);
  Config again;
  QVFUZZ_CHECK(again.read(file.path()) == 0, "written back, the entries are refused");
  QVFUZZ_CHECK(again.size() == config.size(), "written back, %zu entries read as %zu",
               config.size(), again.size());
  for (const auto& entry : config) {
    QVFUZZ_CHECK(again[entry.first] == entry.second, "written back, '%s' changed",
                 entry.first.c_str());
  }
  return 0;
}
