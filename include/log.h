// Levelled, per-component logging to a rotating file, a standard stream or syslog.
#pragma once

#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>

typedef char xchar;
typedef std::string xstring;

class Logger {
 public:
  enum Type { SYSLOG_LOGGER = 0, STDOUT_LOGGER = 1, STDERR_LOGGER = 2, FILE_LOGGER = 3 };
  enum Level {
    L_EMERG = 0,
    L_ALERT = 1,
    L_CRIT = 2,
    L_ERR = 3,
    L_WARNING = 4,
    L_NOTICE = 5,
    L_INFO = 6,
    L_DEBUG = 7
  };
  enum ConfigFlag { C_NONE = 1, C_NEWLINE = 2, C_ERRNO = 4 };
  enum SafetyScope { NonSafe = 0, ThreadSafe = 1, ProcessSafe = 2 };

  struct InitConfig {
    Type type = STDOUT_LOGGER;
    xstring log_path;
    xstring level_path;
    int rotate_cnt = 50;
    SafetyScope safety_scope = ThreadSafe;
  };

  static int Initialize(const InitConfig& config);
  static int Initialize(Type type, const std::string& log_path, const std::string& level_path,
                        int rotate_cnt, SafetyScope safety_scope);
  static void Destroy();
  static bool IsNeedToLog(Level level, const std::string& component);
  static void LogMsg(Level level, const std::string& component, const xchar* format, ...)
      __attribute__((format(printf, 3, 4)));
  static void LogMsg2(Level level, const std::string& component, const xchar* format,
                      va_list args) __attribute__((format(printf, 3, 0)));
  static void LogMsg3(Level level, const std::string& component, std::stringstream& stream,
                      ConfigFlag flags);
  // Called with each line of level ERROR or graver that is written, as formatted, for a
  // caller that has to tell the user why something failed; nullptr for none. It must
  // not log.
  static void SetErrorObserver(void (*observer)(const char* line));

 private:
  static int GetCompLevel(const std::string& component);
  static int Rotate();
  static int RotateIfFileBig(int size);
  static void ReloadLogFile();
  // 64-bit so that a log file past 2 GiB is still measured and rotated.
  static int64_t GetFileSize(const std::string& path);
  static int PrintToFilePointer(const xchar* format, ...) __attribute__((format(printf, 1, 2)));
  static int PrintToFilePointerV(const xchar* format, va_list args)
      __attribute__((format(printf, 1, 0)));
  static void FlushFileStream(int size);
  static void Lock();
  static void Unlock();
  static void InitializeLock();
  static void DestroyLock();
  static void InitializeFileLock();
  static void DestroyFileLock();
  static int InitializeSharedData();
  static void DestroySharedData();

  static InitConfig config;
  static std::map<std::string, int> log_level;
  static FILE* log_fp;
  static int64_t* log_size;  // wide enough for log files past 2 GiB
  static xstring log_path;
  static pthread_mutex_t* log_lock;
  static int log_flock;
  static uint64_t* log_rotated_count_shared;
  static uint64_t log_rotated_count_private;
  static bool log_initialized;
  static void (*error_observer)(const char* line);
};

void LogMSG_c(int level, const char* component, const char* format, va_list args);

// The call-site convention: ask the threshold first (so no argument is computed for a
// disabled level), then write one line with the fixed prefix
// "(pid:tid) [TAG] FILE(line): ". Each source file defines QV_LOG_FILE, its path
// relative to its module's source folder, before using these macros, e.g.
//   #define QV_LOG_FILE "linux/linux-service.cpp"
#define QV_LOG_AT(level, tag, component, fmt, ...)                                          \
  do {                                                                                      \
    if (Logger::IsNeedToLog((level), (component))) {                                       \
      Logger::LogMsg((level), (component), "(%5d:%5d) [" tag "] " QV_LOG_FILE "(%d): " fmt, \
                     static_cast<int>(::getpid()),                                          \
                     static_cast<int>(static_cast<unsigned long>(::pthread_self()) % 100000u), \
                     __LINE__, ##__VA_ARGS__);                                              \
    }                                                                                       \
  } while (0)

#define QVLOG_ERR(component, fmt, ...) \
  QV_LOG_AT(Logger::L_ERR, "ERROR", component, fmt, ##__VA_ARGS__)
#define QVLOG_WARN(component, fmt, ...) \
  QV_LOG_AT(Logger::L_WARNING, "WARNING", component, fmt, ##__VA_ARGS__)
#define QVLOG_NOTE(component, fmt, ...) \
  QV_LOG_AT(Logger::L_NOTICE, "NOTE", component, fmt, ##__VA_ARGS__)
#define QVLOG_INFO(component, fmt, ...) \
  QV_LOG_AT(Logger::L_INFO, "INFO", component, fmt, ##__VA_ARGS__)
#define QVLOG_DEBUG(component, fmt, ...) \
  QV_LOG_AT(Logger::L_DEBUG, "DEBUG", component, fmt, ##__VA_ARGS__)
