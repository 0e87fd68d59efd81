// The logger's level file on arbitrary contents. Besides not crashing: every component
// that the key=value reader delivers gets as threshold the decimal number its value
// starts with (blanks and a sign allowed, 0 when there is none, clamped to int), and a
// component the file cannot name keeps the default, warnings and worse.
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "config.h"
#include "fuzz_util.h"
#include "log.h"

namespace {

long long Threshold(const std::string& value) {
  const long long v = strtoll(value.c_str(), nullptr, 10);
  return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : v;
}

// Keys cannot hold a blank.
const char kAbsent[] = "not in any level file";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qvfuzz::MemFile file;
  file.Set(data, size);
  QVFUZZ_CHECK(Logger::Initialize(Logger::STDERR_LOGGER, "", file.path(), 50,
                                  Logger::NonSafe) == 0,
               "Initialize failed");
  Config levels;
  levels.read(file.path());
  for (const auto& entry : levels) {
    const long long threshold = Threshold(entry.second);
    for (int level = Logger::L_EMERG; level <= Logger::L_DEBUG; ++level) {
      QVFUZZ_CHECK(Logger::IsNeedToLog(static_cast<Logger::Level>(level), entry.first) ==
                       (level <= threshold),
                   "'%s' = '%s': level %d", entry.first.c_str(), entry.second.c_str(), level);
    }
  }
  QVFUZZ_CHECK(Logger::IsNeedToLog(Logger::L_WARNING, kAbsent) &&
                   !Logger::IsNeedToLog(Logger::L_NOTICE, kAbsent),
               "a component not in the file lost the default threshold");
  Logger::Destroy();
  return 0;
}
