// Helpers shared by the fuzz targets: a property check that stops the run with a
// message, and an in-memory file for the code that reads its input by path.
#pragma once

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

namespace qvfuzz {

[[noreturn]] inline void Fail(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

inline void Fail(const char* file, int line, const char* format, ...) {
  fprintf(stderr, "%s:%d: property failed: ", file, line);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputc('\n', stderr);
  // libFuzzer reports the abort as a crash and keeps the input.
  abort();
}

// A file in memory, reachable by path as /proc/self/fd/N; every open of that path
// starts at the beginning.
class MemFile {
 public:
  MemFile() : fd_(memfd_create("qv-fuzz-input", 0)) {
    if (fd_ < 0) Fail(__FILE__, __LINE__, "memfd_create failed");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemFile() { close(fd_); }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;

  void Set(const void* data, size_t size) {
    if (ftruncate(fd_, 0) != 0 ||
        (size != 0 && pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size))) {
      Fail(__FILE__, __LINE__, "cannot fill the input file");
    }
  }
  void Set(const std::string& text) { Set(text.data(), text.size()); }
  const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

}  // namespace qvfuzz

#define QVFUZZ_CHECK(cond, ...) \
  ((cond) ? static_cast<void>(0) : qvfuzz::Fail(__FILE__, __LINE__, __VA_ARGS__))
