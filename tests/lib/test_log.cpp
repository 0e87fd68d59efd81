#include <gtest/gtest.h>

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#define QV_LOG_FILE "test_log.cpp"
#include "log.h"
#include "test_env.h"

namespace {

const int64_t kLimit = 5242880;

// The prefix the call-site macros put in front of a message, for this thread.
std::string Prefix(const char* tag, int line) {
  char buf[128];
  snprintf(buf, sizeof(buf), "(%5d:%5d) [%s] test_log.cpp(%d): ", static_cast<int>(getpid()),
           static_cast<int>(static_cast<unsigned long>(pthread_self()) % 100000u), tag, line);
  return buf;
}

// True when text holds a "YYYY-MM-DDTHH:MM:SS " timestamp at pos.
bool StampAt(const std::string& text, size_t pos) {
  static const char kShape[] = "dddd-dd-ddTdd:dd:dd ";
  if (pos > text.size() || text.size() - pos < sizeof(kShape) - 1) return false;
  for (size_t i = 0; i + 1 < sizeof(kShape); ++i) {
    const char c = text[pos + i];
    if (kShape[i] == 'd' ? !isdigit(static_cast<unsigned char>(c)) : c != kShape[i])
      return false;
  }
  return true;
}

// Removes the timestamp that starts every line, checking that each line has one.
std::string Unstamped(const std::string& text, int expected_lines) {
  std::string out;
  int found = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    end = end == std::string::npos ? text.size() : end + 1;
    if (StampAt(text, pos)) {
      ++found;
      out += text.substr(pos + 20, end - pos - 20);
    } else {
      out += text.substr(pos, end - pos);
    }
    pos = end;
  }
  EXPECT_EQ(expected_lines, found) << text;
  return out;
}

// Removes timestamps wherever they stand (lines without a newline run together).
std::string StampsRemoved(const std::string& text) {
  std::string out;
  for (size_t pos = 0; pos < text.size();) {
    if (StampAt(text, pos)) {
      pos += 20;
    } else {
      out += text[pos++];
    }
  }
  return out;
}

int64_t SizeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string Tail(const std::string& path, size_t n) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  const std::streamoff from = size > static_cast<std::streamoff>(n) ? size - n : 0;
  in.seekg(from);
  std::string out(static_cast<size_t>(size - from), '\0');
  in.read(&out[0], out.size());
  return out;
}

std::set<std::string> NamesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.insert(e.path().filename().string());
  return names;
}

bool FdOpenOn(const std::string& path) {
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(e.path(), ec).string() == path) return true;
  }
  return false;
}

// Points a standard descriptor at a file for the life of the object.
class Redirect {
 public:
  Redirect(int fd, const std::string& path) : fd_(fd), saved_(dup(fd)) {
    fflush(nullptr);
    const int f = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(f, fd_);
    close(f);
  }
  ~Redirect() {
    fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
  }

 private:
  int fd_;
  int saved_;
};

std::string LevelFile(const std::string& text) {
  const std::string path = qvtest::MakeTempDir("levels") + "/log.conf";
  EXPECT_TRUE(qvtest::WriteFile(path, text));
  return path;
}

void CallLogMSG_c(int level, const char* component, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogMSG_c(level, component, format, args);
  va_end(args);
}

// Declared first: it needs the state the program starts with (CTest runs each case in
// its own process).
TEST(LoggerUninitialised, WarningsGoToStderrWithTimestamp) {
  const std::string out = qvtest::MakeTempDir("log") + "/stderr";
  int line = 0;
  {
    Redirect r(2, out);
    QVLOG_WARN("any_component", "early %d\n", 1);
    line = __LINE__ - 1;
    QVLOG_NOTE("any_component", "hidden\n");
    EXPECT_TRUE(Logger::IsNeedToLog(Logger::L_WARNING, "launcher_debug"));
    EXPECT_FALSE(Logger::IsNeedToLog(Logger::L_NOTICE, "launcher_debug"));
  }
  EXPECT_EQ(Prefix("WARNING", line) + "early 1\n", Unstamped(qvtest::ReadFile(out), 1));
}

TEST(LoggerLevels, ThresholdsComeFromTheLevelFile) {
  const std::string dir = qvtest::MakeTempDir("log");
  const std::string levels = LevelFile(
      "# component levels\nlauncher_debug=7\nletters=abc\nsilent=-1\n"
      "spaced=\"  +6\"\ndefault_component = 7\nhuge=99999999999\n");
  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, dir + "/log", levels, 50,
                                  Logger::ThreadSafe));
  struct Expect {
    const char* component;
    int threshold;
  } expects[] = {{"service_debug", 4}, {"launcher_debug", 7},   {"letters", 0},
                 {"silent", -1},       {"spaced", 6},           {"default_component", 7},
                 {"huge", INT_MAX},    {"Launcher_debug", 4}};
  for (const Expect& e : expects) {
    for (int level = Logger::L_EMERG; level <= Logger::L_DEBUG; ++level) {
      EXPECT_EQ(level <= e.threshold,
                Logger::IsNeedToLog(static_cast<Logger::Level>(level), e.component))
          << e.component << " at level " << level;
    }
  }

  // What passes the threshold reaches the file, each line exactly once.
  std::string expected;
  QVLOG_ERR("launcher_debug", "e %s\n", "x");
  expected += Prefix("ERROR", __LINE__ - 1) + "e x\n";
  QVLOG_WARN("launcher_debug", "w\n");
  expected += Prefix("WARNING", __LINE__ - 1) + "w\n";
  QVLOG_NOTE("launcher_debug", "n\n");
  expected += Prefix("NOTE", __LINE__ - 1) + "n\n";
  QVLOG_INFO("launcher_debug", "i\n");
  expected += Prefix("INFO", __LINE__ - 1) + "i\n";
  QVLOG_DEBUG("launcher_debug", "d %d\n", 42);
  expected += Prefix("DEBUG", __LINE__ - 1) + "d 42\n";
  QVLOG_WARN("service_debug", "sw\n");
  expected += Prefix("WARNING", __LINE__ - 1) + "sw\n";
  QVLOG_NOTE("service_debug", "sn\n");
  QVLOG_DEBUG("service_debug", "sd\n");
  QVLOG_ERR("silent", "never\n");
  Logger::LogMsg(Logger::L_EMERG, "letters", "emergency only\n");
  expected += "emergency only\n";
  Logger::LogMsg(Logger::L_ALERT, "letters", "not this\n");
  EXPECT_EQ(expected, Unstamped(qvtest::ReadFile(dir + "/log"), 7));
}

TEST(LoggerLevels, RejectedOrMissingLevelFileKeepsEarlierThresholds) {
  const std::string dir = qvtest::MakeTempDir("log");
  ASSERT_EQ(0, Logger::Initialize(Logger::STDERR_LOGGER, "", LevelFile("x=7\n"), 50,
                                  Logger::ThreadSafe));
  EXPECT_TRUE(Logger::IsNeedToLog(Logger::L_DEBUG, "x"));

  ASSERT_EQ(0, Logger::Initialize(Logger::STDERR_LOGGER, "", LevelFile("y=7\nx=1\n oops\n"),
                                  50, Logger::ThreadSafe));
  EXPECT_TRUE(Logger::IsNeedToLog(Logger::L_DEBUG, "x"));
  EXPECT_TRUE(Logger::IsNeedToLog(Logger::L_WARNING, "y"));
  EXPECT_FALSE(Logger::IsNeedToLog(Logger::L_NOTICE, "y"));

  ASSERT_EQ(0, Logger::Initialize(Logger::STDERR_LOGGER, "", dir + "/missing.conf", 50,
                                  Logger::ThreadSafe));
  EXPECT_TRUE(Logger::IsNeedToLog(Logger::L_DEBUG, "x"));

  // A new file changes only the names it holds; edits after Initialize change nothing.
  const std::string levels = LevelFile("x=2\n");
  ASSERT_EQ(0, Logger::Initialize(Logger::STDERR_LOGGER, "", levels, 50, Logger::ThreadSafe));
  EXPECT_TRUE(Logger::IsNeedToLog(Logger::L_CRIT, "x"));
  EXPECT_FALSE(Logger::IsNeedToLog(Logger::L_ERR, "x"));
  ASSERT_TRUE(qvtest::WriteFile(levels, "x=7\n"));
  EXPECT_FALSE(Logger::IsNeedToLog(Logger::L_ERR, "x"));
}

TEST(LoggerLifecycle, FailedInitializeAndDestroyDisableLogging) {
  const std::string dir = qvtest::MakeTempDir("log");
  const std::string err = dir + "/stderr";
  {
    Redirect r(2, err);
    EXPECT_EQ(-1, Logger::Initialize(Logger::FILE_LOGGER, "", "", 50, Logger::ThreadSafe));
    for (int level = Logger::L_EMERG; level <= Logger::L_DEBUG; ++level)
      EXPECT_FALSE(Logger::IsNeedToLog(static_cast<Logger::Level>(level), "c"));
    Logger::LogMsg(Logger::L_EMERG, "c", "dropped\n");
    EXPECT_EQ(-1, Logger::Initialize(Logger::FILE_LOGGER, dir + "/no/such/log", "", 50,
                                     Logger::ThreadSafe));
    EXPECT_FALSE(Logger::IsNeedToLog(Logger::L_EMERG, "c"));
    Logger::LogMsg(Logger::L_EMERG, "c", "dropped\n");
  }
  EXPECT_EQ("", qvtest::ReadFile(err));
  EXPECT_FALSE(Exists(dir + "/no"));

  const std::string log = dir + "/log";
  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log, "", 50, Logger::ThreadSafe));
  Logger::LogMsg(Logger::L_ERR, "c", "kept\n");
  EXPECT_TRUE(FdOpenOn(log));
  Logger::Destroy();
  EXPECT_FALSE(FdOpenOn(log));
  EXPECT_FALSE(Logger::IsNeedToLog(Logger::L_EMERG, "c"));
  {
    Redirect r(2, err);
    Logger::LogMsg(Logger::L_ERR, "c", "after destroy\n");
  }
  EXPECT_EQ("kept\n", Unstamped(qvtest::ReadFile(log), 1));
  EXPECT_EQ("", qvtest::ReadFile(err));
}

TEST(LoggerLifecycle, ReinitializeClosesThePreviousFile) {
  const std::string dir = qvtest::MakeTempDir("log");
  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, dir + "/a", "", 50, Logger::ThreadSafe));
  ASSERT_TRUE(FdOpenOn(dir + "/a"));
  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, dir + "/b", "", 50, Logger::ThreadSafe));
  EXPECT_FALSE(FdOpenOn(dir + "/a"));
  Logger::LogMsg(Logger::L_ERR, "c", "to b\n");
  EXPECT_EQ("", qvtest::ReadFile(dir + "/a"));
  EXPECT_EQ("to b\n", Unstamped(qvtest::ReadFile(dir + "/b"), 1));
}

TEST(LoggerStreams, StdoutAndStderrCarryTimestampedLines) {
  const std::string dir = qvtest::MakeTempDir("log");
  {
    Redirect r(1, dir + "/stdout");
    ASSERT_EQ(0, Logger::Initialize(Logger::STDOUT_LOGGER, dir + "/ignored", "", 50,
                                    Logger::ThreadSafe));
    Logger::LogMsg(Logger::L_WARNING, "c", "to %s\n", "stdout");
  }
  {
    Redirect r(2, dir + "/stderr");
    ASSERT_EQ(0, Logger::Initialize(Logger::STDERR_LOGGER, "", "", 50, Logger::ThreadSafe));
    Logger::LogMsg(Logger::L_ERR, "c", "to %s\n", "stderr");
    Logger::LogMsg(Logger::L_NOTICE, "c", "filtered\n");
  }
  EXPECT_EQ("to stdout\n", Unstamped(qvtest::ReadFile(dir + "/stdout"), 1));
  EXPECT_EQ("to stderr\n", Unstamped(qvtest::ReadFile(dir + "/stderr"), 1));
  EXPECT_FALSE(Exists(dir + "/ignored"));
}

TEST(LoggerMessages, LogMsg3AddsErrnoTextAndNewline) {
  const std::string log = qvtest::MakeTempDir("log") + "/log";
  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log, "", 50, Logger::ThreadSafe));
  const Logger::ConfigFlag both =
      static_cast<Logger::ConfigFlag>(Logger::C_ERRNO | Logger::C_NEWLINE);

  std::stringstream plain;
  plain << "plain";
  errno = 13;
  Logger::LogMsg3(Logger::L_ERR, "c", plain, Logger::C_NONE);
  EXPECT_EQ("plain", plain.str());

  std::stringstream zero;
  zero << "zero %s";  // the text is an argument, never a format
  errno = 0;
  Logger::LogMsg3(Logger::L_ERR, "c", zero, both);
  EXPECT_EQ("zero %s", zero.str());

  std::stringstream denied;
  denied << "open " << 7;
  errno = 13;
  Logger::LogMsg3(Logger::L_ERR, "c", denied, both);
  EXPECT_EQ("open 7, err=13:", denied.str());
  EXPECT_EQ(13, errno);

  std::stringstream missing;
  missing << "m";
  errno = 2;
  Logger::LogMsg3(Logger::L_ERR, "c", missing, Logger::C_ERRNO);

  std::stringstream nl;
  nl << "end";
  Logger::LogMsg3(Logger::L_ERR, "c", nl, Logger::C_NEWLINE);

  std::stringstream quiet;
  quiet << "quiet";
  Logger::LogMsg3(Logger::L_INFO, "c", quiet, both);

  // Lines without a newline run into the next one, as written.
  EXPECT_EQ(
      "plainzero %s\nopen 7, err=13:Permission denied\nm, err=2:No such file or directoryend\n",
      StampsRemoved(qvtest::ReadFile(log)));
}

TEST(LoggerMessages, LogMSG_cTakesPlainCStrings) {
  const std::string log = qvtest::MakeTempDir("log") + "/log";
  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log, LevelFile("c_caller=6\n"), 50,
                                  Logger::ThreadSafe));
  CallLogMSG_c(Logger::L_INFO, "c_caller", "from c %d\n", 1);
  CallLogMSG_c(Logger::L_DEBUG, "c_caller", "too verbose\n");
  CallLogMSG_c(9, "c_caller", "beyond debug\n");
  CallLogMSG_c(Logger::L_ERR, nullptr, "no component %s\n", "given");
  EXPECT_EQ("from c 1\nno component given\n", Unstamped(qvtest::ReadFile(log), 2));
}

TEST(LoggerRotation, ExistingBigFileRotatesAfterTheFirstLine) {
  const std::string dir = qvtest::MakeTempDir("log");
  const std::string log = dir + "/log";
  ASSERT_EQ(0, qvtest::Shell("truncate -s 6000000 '" + log + "'"));
  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log, "", 50, Logger::ThreadSafe));
  EXPECT_FALSE(Exists(log + "_0"));
  Logger::LogMsg(Logger::L_ERR, "c", "first\n");
  Logger::LogMsg(Logger::L_ERR, "c", "second\n");
  EXPECT_EQ(6000000 + 26, SizeOf(log + "_0"));
  EXPECT_EQ("first\n", Tail(log + "_0", 6));
  EXPECT_EQ("second\n", Unstamped(qvtest::ReadFile(log), 1));
  EXPECT_EQ((std::set<std::string>{"log", "log_0"}), NamesIn(dir));
}

TEST(LoggerRotation, ReachingTheLimitExactlyDoesNotRotate) {
  const std::string dir = qvtest::MakeTempDir("log");
  const std::string log = dir + "/log";
  // Each line below is a 20-byte timestamp and a 12-byte message.
  ASSERT_TRUE(qvtest::WriteFile(log, ""));
  ASSERT_EQ(0, truncate(log.c_str(), kLimit - 32));
  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log, "", 50, Logger::ThreadSafe));
  Logger::LogMsg(Logger::L_ERR, "c", "exactly 5M\n\n");
  EXPECT_EQ(kLimit, SizeOf(log));
  EXPECT_FALSE(Exists(log + "_0"));
  Logger::LogMsg(Logger::L_ERR, "c", "one more\n");
  EXPECT_EQ(kLimit + 29, SizeOf(log + "_0"));
  EXPECT_EQ(0, SizeOf(log));
}

// The size of the live file is counted in 64 bits: files past 2 GiB (or past 4 GiB, where
// a 32-bit count wraps to a small number) must still rotate on the first write.
TEST(LoggerRotation, FilesPastTwoGibibytesRotate) {
  const int64_t sizes[] = {2684354560LL, 4294967296LL + 1024};
  for (const int64_t size : sizes) {
    const std::string dir = qvtest::MakeTempDir("log");
    const std::string log = dir + "/log";
    ASSERT_TRUE(qvtest::WriteFile(log, ""));
    // Sparse: no disk used. std::filesystem takes a 64-bit size whatever the build.
    std::filesystem::resize_file(log, static_cast<uintmax_t>(size));
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log, "", 50, Logger::ThreadSafe));
    Logger::LogMsg(Logger::L_ERR, "c", "big\n");
    EXPECT_EQ(size + 24, SizeOf(log + "_0")) << size;
    EXPECT_EQ(0, SizeOf(log)) << size;
    Logger::Destroy();
    std::filesystem::remove_all(dir);
  }
}

TEST(LoggerRotation, KeepsRotateCountFilesNewestFirst) {
  struct Case {
    int rotate_cnt;
    int rotations;
  } cases[] = {{50, 55}, {3, 5}, {1, 3}, {0, 2}};
  for (const Case& c : cases) {
    const std::string dir = qvtest::MakeTempDir("log");
    const std::string log = dir + "/log";
    ASSERT_TRUE(qvtest::WriteFile(log, ""));
    for (int i = 0; i < c.rotations; ++i) {
      // A sparse 6 MB live file makes the next line rotate without writing 5 MiB.
      ASSERT_EQ(0, truncate(log.c_str(), 6000000));
      ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log, "", c.rotate_cnt,
                                      Logger::ThreadSafe));
      Logger::LogMsg(Logger::L_ERR, "c", "line %02d\n", i);
    }
    std::set<std::string> expected{"log", "log_0"};
    for (int i = 1; i <= c.rotate_cnt - 2; ++i) expected.insert("log_" + std::to_string(i));
    EXPECT_EQ(expected, NamesIn(dir)) << "count " << c.rotate_cnt;
    const int archives = c.rotate_cnt > 1 ? c.rotate_cnt - 1 : 1;
    for (int k = 0; k < archives; ++k) {
      char want[32];
      snprintf(want, sizeof(want), "line %02d\n", c.rotations - 1 - k);
      EXPECT_EQ(want, Tail(log + "_" + std::to_string(k), 8)) << "count " << c.rotate_cnt;
    }
    EXPECT_EQ(0, SizeOf(log));
  }
}

TEST(LoggerRotation, WrittenBytesAreCountedAcrossRotations) {
  const std::string dir = qvtest::MakeTempDir("log");
  const std::string log = dir + "/log";
  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log, "", 50, Logger::ThreadSafe));
  const std::string payload(65535, 'p');
  // 65556 bytes a line: the 80th line is the first to pass 5 MiB.
  for (int i = 0; i < 180; ++i) Logger::LogMsg(Logger::L_ERR, "c", "%s\n", payload.c_str());
  EXPECT_EQ(80 * 65556, SizeOf(log + "_1"));
  EXPECT_EQ(80 * 65556, SizeOf(log + "_0"));
  EXPECT_EQ(20 * 65556, SizeOf(log));
  EXPECT_FALSE(Exists(log + "_2"));
}

TEST(LoggerRotation, FailedReopenLeavesTheLoggerWithoutStream) {
  const std::string dir = qvtest::MakeTempDir("log");
  const std::string log = dir + "/log";
  ASSERT_TRUE(qvtest::WriteFile(log, ""));
  ASSERT_EQ(0, truncate(log.c_str(), 6000000));
  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log, "", 50, Logger::ThreadSafe));
  ASSERT_EQ(0, unlink(log.c_str()));  // the rename to log_0 will fail
  Logger::LogMsg(Logger::L_ERR, "c", "crosses the limit\n");
  // Without a stream, what would be lost and matters goes to standard error.
  testing::internal::CaptureStderr();
  Logger::LogMsg(Logger::L_ERR, "c", "said elsewhere\n");
  Logger::LogMsg(Logger::L_NOTICE, "c", "dropped\n");
  EXPECT_EQ("said elsewhere\n", testing::internal::GetCapturedStderr());
  EXPECT_TRUE(Logger::IsNeedToLog(Logger::L_ERR, "c"));
  EXPECT_TRUE(NamesIn(dir).empty());

  // A log whose writes fail (here a full device; a home turned read-only alike).
  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, "/dev/full", "", 50, Logger::ThreadSafe));
  testing::internal::CaptureStderr();
  Logger::LogMsg(Logger::L_WARNING, "c", "not written %d\n", 1);
  Logger::LogMsg(Logger::L_ERR, "c", "not written %d\n", 2);
  EXPECT_EQ("not written 1\nnot written 2\n", testing::internal::GetCapturedStderr());

  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log, "", 50, Logger::ThreadSafe));
  Logger::LogMsg(Logger::L_ERR, "c", "back\n");
  EXPECT_EQ("back\n", Unstamped(qvtest::ReadFile(log), 1));
}

// Every line must come out whole, with its thread's lines in order, also across a
// rotation that happens while the others wait.
void CheckWholeLines(const std::string& text, int threads, int lines, size_t payload) {
  const std::string tag = ") [ERROR] test_log.cpp(";
  std::vector<int> next(threads, 0);
  size_t start = 0;
  int bad = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    // "<stamp>(ppppp:ttttt) [ERROR] test_log.cpp(N): tT nI ppp...p"
    int t = -1;
    int n = -1;
    int used = 0;
    const size_t body = line.find("): t");
    const bool ok = StampAt(line, 0) && line[20] == '(' && line.find(tag) == 32 &&
                    body != std::string::npos &&
                    sscanf(line.c_str() + body + 3, "t%d n%d %n", &t, &n, &used) == 2 &&
                    t >= 0 && t < threads &&
                    line.size() - (body + 3 + used) == payload &&
                    line.find_first_not_of('p', body + 3 + used) == std::string::npos;
    if (!ok) {
      if (++bad < 3) ADD_FAILURE() << "broken line: " << line.substr(0, 200);
      continue;
    }
    EXPECT_EQ(next[t]++, n);
  }
  EXPECT_EQ(0, bad);
  for (int t = 0; t < threads; ++t) EXPECT_EQ(lines, next[t]) << "thread " << t;
}

void LogFromThreads(int threads, int lines, const std::string& payload) {
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([t, lines, &payload] {
      for (int i = 0; i < lines; ++i) QVLOG_ERR("c", "t%d n%d %s\n", t, i, payload.c_str());
    });
  }
  for (std::thread& w : workers) w.join();
}

TEST(LoggerThreads, FileLinesNeverInterleave) {
  const Logger::SafetyScope scopes[] = {Logger::ThreadSafe, Logger::ProcessSafe};
  for (const Logger::SafetyScope scope : scopes) {
    const std::string log = qvtest::MakeTempDir("log") + "/log";
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log, "", 50, scope));
    // About 26 MB: several rotations while other threads are writing.
    const size_t payload = 16000;
    LogFromThreads(4, 400, std::string(payload, 'p'));
    ASSERT_TRUE(Exists(log + "_3")) << ::testing::PrintToString(NamesIn(log.substr(0, log.rfind('/'))));
    std::string all;
    for (int i = 49; i >= 0; --i) all += qvtest::ReadFile(log + "_" + std::to_string(i));
    CheckWholeLines(all + qvtest::ReadFile(log), 4, 400, payload);
  }
}

TEST(LoggerThreads, StderrLinesNeverInterleave) {
  const std::string out = qvtest::MakeTempDir("log") + "/stderr";
  {
    Redirect r(2, out);
    ASSERT_EQ(0, Logger::Initialize(Logger::STDERR_LOGGER, "", "", 50, Logger::ThreadSafe));
    LogFromThreads(3, 1500, std::string(300, 'p'));
  }
  CheckWholeLines(qvtest::ReadFile(out), 3, 1500, 300);
}

// Receives what the logger sends to the system log: a child process with a private
// mount namespace puts its own datagram socket at /dev/log.
TEST(LoggerSyslog, EveryLevelIsSubmittedAsError) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  const std::string levels = LevelFile("syslog_c=7\n");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    if (unshare(CLONE_NEWNS) != 0) _exit(77);
    // Private first, so the tmpfs below never shows outside this namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(77);
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) _exit(77);
    const int s = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) _exit(3);
    timeval tv{2, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    if (Logger::Initialize(Logger::SYSLOG_LOGGER, "", levels, 50, Logger::ThreadSafe) != 0)
      _exit(4);
    std::string report;
    QVLOG_DEBUG("syslog_c", "debug %d\n", 7);
    report += std::to_string(__LINE__ - 1) + "|";
    QVLOG_NOTE("other_c", "filtered\n");
    QVLOG_ERR("other_c", "error %s\n", "x");
    report += std::to_string(__LINE__ - 1) + "|";
    char buf[4096];
    for (int i = 0; i < 3; ++i) {
      const ssize_t n = recv(s, buf, sizeof(buf), 0);
      if (n < 0) break;
      report += std::string(buf, n) + "|";
    }
    report += Prefix("DEBUG", 0) + "|";
    if (write(fds[1], report.data(), report.size()) < 0) _exit(5);
    _exit(0);
  }
  close(fds[1]);
  std::string report;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof(buf))) > 0) report.append(buf, n);
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace here";
  ASSERT_EQ(0, WEXITSTATUS(status)) << report;

  std::vector<std::string> parts;
  for (size_t start = 0, bar; (bar = report.find('|', start)) != std::string::npos;
       start = bar + 1)
    parts.push_back(report.substr(start, bar - start));
  // Two line numbers, two datagrams (the filtered NOTE is never sent), the child's prefix.
  ASSERT_EQ(5u, parts.size()) << report;
  const std::string prefix = parts[4].substr(0, parts[4].find("(0)"));  // pid:tid and tag
  const std::string child_id = prefix.substr(0, prefix.find('['));
  // LOG_USER (8) + LOG_ERR (3): the default facility, error priority for every level.
  EXPECT_EQ(0u, parts[2].find("<11>")) << parts[2];
  EXPECT_EQ(0u, parts[3].find("<11>")) << parts[3];
  const std::string debug_line =
      child_id + "[DEBUG] test_log.cpp(" + parts[0] + "): debug 7\n";
  const std::string error_line = child_id + "[ERROR] test_log.cpp(" + parts[1] + "): error x\n";
  EXPECT_NE(std::string::npos, parts[2].find(": " + debug_line)) << parts[2];
  EXPECT_NE(std::string::npos, parts[3].find(": " + error_line)) << parts[3];
}

}  // namespace
