// Fixtures shared by the file-operation tests: a logger that writes into a file the test
// can read, real objects of every kind, and children in their own mount namespace.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "log.h"
#include "test_env.h"

namespace fileop_test {

using qvtest::kMountRefused;
using qvtest::RunWithTmpfs;

// Sends every level of "file_op_debug" into a fresh log file.
class LogCapture {
 public:
  LogCapture() {
    dir_ = qvtest::MakeTempDir("log");
    qvtest::WriteFile(dir_ + "/levels", "file_op_debug=7\n");
    Logger::Initialize(Logger::FILE_LOGGER, dir_ + "/file-op.log", dir_ + "/levels", 50,
                       Logger::ThreadSafe);
  }

  std::string Text() const {
    std::fflush(nullptr);
    return qvtest::ReadFile(dir_ + "/file-op.log");
  }

  // Whether a line "[tag] file/file-op.cpp(<line>): <message>" was written; message
  // carries its own final "\n".
  bool Has(const std::string& tag, const std::string& message) const {
    const std::string text = Text();
    const std::string head = "[" + tag + "] file/file-op.cpp(";
    for (size_t at = text.find(head); at != std::string::npos; at = text.find(head, at + 1)) {
      size_t p = at + head.size();
      size_t digits = p;
      while (p < text.size() && text[p] >= '0' && text[p] <= '9') ++p;
      if (p == digits || text.compare(p, 3, "): ") != 0) continue;
      if (text.compare(p + 3, message.size(), message) == 0) return true;
    }
    return false;
  }

 private:
  std::string dir_;
};

class FileOpTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = qvtest::MakeTempDir("fileop"); }
  std::string P(const std::string& rel) const { return dir_ + "/" + rel; }

  std::string dir_;
  LogCapture log_;
};

// Binds a Unix socket at path; the socket file stays after the descriptor is closed.
inline bool MakeSocket(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) {
    ::close(fd);
    return false;
  }
  std::strcpy(addr.sun_path, path.c_str());
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(fd);
  return ok;
}

inline mode_t ModeOf(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return static_cast<mode_t>(-1);
  return st.st_mode & 07777;
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Runs fn in a forked child with a watchdog: for calls that must not block.
inline int RunGuarded(const std::function<int()>& fn, unsigned seconds = 10) {
  return qvtest::RunInChild([&] {
    ::alarm(seconds);
    return fn();
  });
}

// Sets the umask for one scope.
class UmaskScope {
 public:
  explicit UmaskScope(mode_t mask) : old_(umask(mask)) {}
  ~UmaskScope() { umask(old_); }

 private:
  mode_t old_;
};

}  // namespace fileop_test
