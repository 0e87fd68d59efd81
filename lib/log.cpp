#include "log.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "config.h"

namespace {

// Lines beyond this many bytes in the live file send it to the archives.
const int64_t kRotateSize = 0x500000;

const int kDefaultThreshold = Logger::L_WARNING;

bool IsStandardStream(FILE* fp) { return fp == stdout || fp == stderr; }

// Opens the log for appending, readable by its owner only whatever the umask: it names
// the user's folders and files. A log left readable by an older version is narrowed too;
// anything but a regular file (a terminal, /dev/null) keeps its mode.
FILE* OpenLogFile(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) fchmod(fd, st.st_mode & 0700);
  FILE* fp = fdopen(fd, "a");
  if (fp == nullptr) close(fd);
  return fp;
}

std::string ArchiveName(const std::string& path, int index) {
  return path + "_" + std::to_string(index);
}

// Decimal number from the start of text (blanks and a sign allowed), 0 when there is
// none; clamped to int instead of wrapping.
int ParseLevel(const std::string& text) {
  const long v = strtol(text.c_str(), nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

}  // namespace

Logger::InitConfig Logger::config;
std::map<std::string, int> Logger::log_level;
FILE* Logger::log_fp = stderr;
int64_t* Logger::log_size = nullptr;
xstring Logger::log_path;
pthread_mutex_t* Logger::log_lock = nullptr;
int Logger::log_flock = -1;
uint64_t* Logger::log_rotated_count_shared = nullptr;
uint64_t Logger::log_rotated_count_private = 0;
bool Logger::log_initialized = true;
void (*Logger::error_observer)(const char* line) = nullptr;

int Logger::Initialize(Type type, const std::string& log_path, const std::string& level_path,
                       int rotate_cnt, SafetyScope safety_scope) {
  InitConfig c;
  c.type = type;
  c.log_path = log_path;
  c.level_path = level_path;
  c.rotate_cnt = rotate_cnt;
  c.safety_scope = safety_scope;
  return Initialize(c);
}

int Logger::Initialize(const InitConfig& new_config) {
  DestroySharedData();
  DestroyLock();
  log_initialized = false;
  // A file opened by an earlier call would otherwise stay open for the rest of the run.
  if (log_fp != nullptr && !IsStandardStream(log_fp)) fclose(log_fp);
  log_fp = nullptr;

  config = new_config;
  log_path = new_config.log_path;
  if (config.type != FILE_LOGGER) config.safety_scope = NonSafe;

  InitializeLock();
  if (InitializeSharedData() != 0) return -1;

  log_level["default_component"] = kDefaultThreshold;
  if (!config.level_path.empty()) {
    // A rejected file leaves the reader empty, so the table keeps its old entries.
    Config levels;
    levels.read(config.level_path);
    for (Config::const_iterator it = levels.begin(); it != levels.end(); ++it)
      log_level[it->first] = ParseLevel(it->second);
  }

  switch (config.type) {
    case SYSLOG_LOGGER:
    case STDOUT_LOGGER:
    case STDERR_LOGGER:
      log_fp = config.type == STDOUT_LOGGER ? stdout
               : config.type == STDERR_LOGGER ? stderr
                                              : nullptr;
      log_path.clear();
      *log_size = -1;
      *log_rotated_count_shared = 0;
      log_rotated_count_private = 0;
      log_initialized = true;
      return 0;
    case FILE_LOGGER:
    default:
      break;
  }

  if (log_path.empty()) return -1;
  FILE* fp = OpenLogFile(log_path);
  if (fp == nullptr) return -1;
  log_fp = fp;
  *log_rotated_count_shared = 0;
  log_rotated_count_private = 0;
  *log_size = GetFileSize(log_path);
  log_initialized = true;
  return 0;
}

void Logger::Destroy() {
  log_initialized = false;
  if (config.type != SYSLOG_LOGGER && config.type != STDOUT_LOGGER &&
      config.type != STDERR_LOGGER) {
    if (log_fp != nullptr && !IsStandardStream(log_fp)) fclose(log_fp);
    log_fp = stderr;
    config.type = STDERR_LOGGER;
    log_path.clear();
  }
  DestroySharedData();
  DestroyLock();
}

int Logger::GetCompLevel(const std::string& component) {
  std::map<std::string, int>::const_iterator it = log_level.find(component);
  return it == log_level.end() ? kDefaultThreshold : it->second;
}

bool Logger::IsNeedToLog(Level level, const std::string& component) {
  if (!log_initialized) return false;
  return static_cast<int>(level) <= GetCompLevel(component);
}

void Logger::SetErrorObserver(void (*observer)(const char* line)) { error_observer = observer; }

void Logger::LogMsg(Level level, const std::string& component, const xchar* format, ...) {
  va_list args;
  va_start(args, format);
  LogMsg2(level, component, format, args);
  va_end(args);
}

void Logger::LogMsg2(Level level, const std::string& component, const xchar* format,
                     va_list args) {
  if (!log_initialized) return;
  if (!IsNeedToLog(level, component)) return;

  // "%m" in a format stands for the caller's errno; keep it intact through the locking
  // and the timestamp, and hand it back unchanged.
  const int saved_errno = errno;
  if (level <= L_ERR && error_observer != nullptr) {
    char line[1024];
    va_list copy;
    va_copy(copy, args);
    vsnprintf(line, sizeof line, format, copy);
    va_end(copy);
    error_observer(line);
    errno = saved_errno;
  }
  Lock();
  ReloadLogFile();
  // Checked under the lock: while another thread rotates, the stream is briefly none,
  // and a check before locking would silently drop this line.
  // A warning or an error that the log cannot take (its file system turned read-only or
  // full, a reopen that failed) goes to standard error, which the journal or the
  // session's error file keeps: a failure must be said somewhere.
  va_list spare;
  va_copy(spare, args);
  const auto say_elsewhere = [&] {
    if (level > L_WARNING || IsStandardStream(log_fp)) return;
    errno = saved_errno;
    vfprintf(stderr, format, spare);
    fflush(stderr);
  };
  if (config.type != SYSLOG_LOGGER && log_fp == nullptr) {
    say_elsewhere();
    va_end(spare);
    Unlock();
    errno = saved_errno;
    return;
  }
  int written = 0;
  switch (config.type) {
    case SYSLOG_LOGGER:
      errno = saved_errno;
      vsyslog(LOG_ERR, format, args);
      break;
    case STDOUT_LOGGER:
    case STDERR_LOGGER:
    case FILE_LOGGER:
      errno = saved_errno;
      written = PrintToFilePointerV(format, args);
      if (written < 0) say_elsewhere();
      break;
    default:
      errno = saved_errno;
      vfprintf(stderr, format, args);
      break;
  }
  va_end(spare);
  RotateIfFileBig(written);
  Unlock();
  errno = saved_errno;
}

void Logger::LogMsg3(Level level, const std::string& component, std::stringstream& stream,
                     ConfigFlag flags) {
  std::string format = "%s";
  const int err = errno;
  if ((flags & C_ERRNO) && err != 0) {
    stream << ", err=" << err << ":";
    format += "%m";
  }
  if (flags & C_NEWLINE) format += "\n";
  const std::string text = stream.str();
  errno = err;
  LogMsg(level, component, format.c_str(), text.c_str());
}

int64_t Logger::GetFileSize(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    const int err = errno;
    PrintToFilePointer("stat(%s): %s (%d)\n", path.c_str(), strerror(err), err);
    return 0;
  }
  return static_cast<int64_t>(st.st_size);
}

int Logger::PrintToFilePointer(const xchar* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = PrintToFilePointerV(format, args);
  va_end(args);
  return n;
}

int Logger::PrintToFilePointerV(const xchar* format, va_list args) {
  if (log_fp == nullptr) return 0;
  const int saved_errno = errno;
  char stamp[512];
  stamp[0] = '\0';
  time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) != nullptr)
    strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%S ", &local);

  // The stream lock keeps timestamp and message together even for the standard
  // streams, which run without the logger's own mutex.
  flockfile(log_fp);
  const int a = fprintf(log_fp, "%s", stamp);
  errno = saved_errno;
  const int b = vfprintf(log_fp, format, args);
  FlushFileStream(b);
  // The line is buffered until the flush: only the flush tells whether it was written.
  const bool failed = ferror(log_fp) != 0;
  if (failed) clearerr(log_fp);
  funlockfile(log_fp);
  errno = saved_errno;
  if ((a < 0 && b < 0) || failed) return -1;
  return (a > 0 ? a : 0) + (b > 0 ? b : 0);
}

void Logger::FlushFileStream(int /*size*/) {
  if (log_fp != nullptr) fflush(log_fp);
}

int Logger::RotateIfFileBig(int size) {
  if (config.type != FILE_LOGGER || size < 0 || log_size == nullptr) return 0;
  *log_size += size;
  if (*log_size > kRotateSize) {
    const int rc = Rotate();
    *log_size = 0;
    return rc;
  }
  return 0;
}

int Logger::Rotate() {
  const int n = config.rotate_cnt;
  // P_(N-2) -> P_(N-1), ..., P_0 -> P_1; missing archives are simply skipped.
  for (int i = n - 2; i >= 0; --i)
    rename(ArchiveName(log_path, i).c_str(), ArchiveName(log_path, i + 1).c_str());
  remove(ArchiveName(log_path, n - 1).c_str());

  if (log_fp != nullptr && !IsStandardStream(log_fp)) fclose(log_fp);
  log_fp = nullptr;
  if (rename(log_path.c_str(), ArchiveName(log_path, 0).c_str()) != 0) return -1;
  FILE* fp = OpenLogFile(log_path);
  if (fp == nullptr) return -1;
  log_fp = fp;
  if (log_rotated_count_shared != nullptr) ++*log_rotated_count_shared;
  ++log_rotated_count_private;
  return 0;
}

void Logger::ReloadLogFile() {
  if (config.type != FILE_LOGGER || config.safety_scope != ProcessSafe) return;
  if (log_rotated_count_shared == nullptr ||
      *log_rotated_count_shared == log_rotated_count_private)
    return;
  if (log_fp != nullptr && !IsStandardStream(log_fp)) fclose(log_fp);
  log_fp = nullptr;
  FILE* fp = OpenLogFile(log_path);
  if (fp == nullptr) return;
  log_fp = fp;
  if (log_size != nullptr) *log_size = GetFileSize(log_path);
  log_rotated_count_private = *log_rotated_count_shared;
}

void Logger::Lock() {
  if (log_lock != nullptr) pthread_mutex_lock(log_lock);
}

void Logger::Unlock() {
  if (log_lock != nullptr) pthread_mutex_unlock(log_lock);
}

void Logger::InitializeLock() {
  InitializeFileLock();
  if ((config.safety_scope == ThreadSafe || config.safety_scope == ProcessSafe) &&
      log_lock == nullptr) {
    pthread_mutex_t* m = new (std::nothrow) pthread_mutex_t;
    if (m != nullptr && pthread_mutex_init(m, nullptr) != 0) {
      delete m;
      m = nullptr;
    }
    log_lock = m;
  }
}

void Logger::DestroyLock() {
  DestroyFileLock();
  if (log_lock != nullptr) {
    pthread_mutex_destroy(log_lock);
    delete log_lock;
    log_lock = nullptr;
  }
}

// Cross-process file locking is not used: writers of one file all live in this process.
void Logger::InitializeFileLock() {}
void Logger::DestroyFileLock() {}

int Logger::InitializeSharedData() {
  if (log_size != nullptr && log_rotated_count_shared != nullptr) return 0;
  DestroySharedData();
  log_size = new (std::nothrow) int64_t(0);
  log_rotated_count_shared = new (std::nothrow) uint64_t(0);
  if (log_size == nullptr || log_rotated_count_shared == nullptr) {
    DestroySharedData();
    return -1;
  }
  return 0;
}

void Logger::DestroySharedData() {
  delete log_size;
  log_size = nullptr;
  delete log_rotated_count_shared;
  log_rotated_count_shared = nullptr;
}

void LogMSG_c(int level, const char* component, const char* format, va_list args) {
  // Level values beyond the enumeration cannot be held by Logger::Level: anything less
  // severe than debug is dropped, anything more severe than emergency counts as one.
  if (level > Logger::L_DEBUG) return;
  if (level < Logger::L_EMERG) level = Logger::L_EMERG;
  Logger::LogMsg2(static_cast<Logger::Level>(level), std::string(component ? component : ""),
                  format, args);
}
