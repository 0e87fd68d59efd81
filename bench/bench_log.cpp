// Cost of a log call: a level that is filtered out, and a line written to a rotating
// file, compared with a bare fprintf + fflush of the same text.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>

#define QV_LOG_FILE "bench_log.cpp"
#include "log.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main() {
  char dir_template[] = "/tmp/bench-log-XXXXXX";
  if (mkdtemp(dir_template) == nullptr) return 1;
  const std::string dir = dir_template;
  const std::string log = dir + "/log";
  if (Logger::Initialize(Logger::FILE_LOGGER, log, "", 50, Logger::ThreadSafe) != 0) return 1;

  const int filtered = 10000000;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < filtered; ++i) QVLOG_DEBUG("bench_debug", "never %d\n", i);
  const double t_filtered = Seconds(start);
  printf("filtered call:        %6.1f ns\n", t_filtered / filtered * 1e9);

  const int lines = 200000;
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < lines; ++i) QVLOG_ERR("bench_debug", "line %d of the benchmark\n", i);
  const double t_logger = Seconds(start);

  FILE* fp = fopen((dir + "/plain").c_str(), "a");
  if (fp == nullptr) return 1;
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < lines; ++i) {
    fprintf(fp, "2026-01-01T00:00:00 (%5d:%5d) [ERROR] bench_log.cpp(%d): line %d of the benchmark\n",
            static_cast<int>(getpid()), 0, __LINE__, i);
    fflush(fp);
  }
  const double t_plain = Seconds(start);
  fclose(fp);

  printf("logged line:          %6.2f us\n", t_logger / lines * 1e6);
  printf("fprintf+fflush line:  %6.2f us\n", t_plain / lines * 1e6);
  printf("ratio logger/plain:   %6.2f\n", t_logger / t_plain);

  Logger::Destroy();
  const std::string cleanup = "rm -rf '" + dir + "'";
  return system(cleanup.c_str()) == 0 ? 0 : 1;
}
