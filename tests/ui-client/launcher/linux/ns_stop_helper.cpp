// Runs StopService against a pid file holding a given value, inside a throw-away PID
// namespace and session, and checks that no process of that namespace got a signal.
//   ns_stop_helper PID_VALUE WORK_DIR
// Exit status 0: nobody was signalled; 1: a signal reached this process or the witness;
// 2: set-up failed. The service's log goes to standard output.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QString>

#include <cstdio>
#include <fstream>
#include <string>

#include "linux/linux-service.h"
#include "log.h"
#include "uipathmanager.h"

namespace {
volatile sig_atomic_t g_signalled = 0;
void OnSignal(int) { g_signalled = 1; }
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::string work = argv[2];
  const std::string drive = work + "/.QuenvaleDrive";
  UIPathManager::getInstance()->setPath("user_quenvale_drive_path", QString::fromStdString(drive));
  UIPathManager::getInstance()->setPath("user_quenvale_drive_app_path",
                                        QString::fromStdString(drive + "/QuenvaleDrive.app"));
  std::ofstream(drive + "/ui.pid") << "pid=" << argv[1] << "\n";
  std::ofstream(work + "/levels") << "service_debug=7\n";
  Logger::Initialize(Logger::STDOUT_LOGGER, "", work + "/levels", 50, Logger::ThreadSafe);

  // Signals meant for a group or for everyone would reach the witness, which dies of
  // them, and this process, which records them.
  pid_t witness = ::fork();
  if (witness < 0) return 2;
  if (witness == 0) {
    ::alarm(30);
    for (;;) ::pause();
  }
  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);

  LinuxService service;
  service.StopService();
  ::usleep(200 * 1000);  // let a stray signal arrive

  int status = 0;
  bool witness_alive = ::waitpid(witness, &status, WNOHANG) == 0;
  ::kill(witness, SIGKILL);
  ::waitpid(witness, &status, 0);
  std::fflush(stdout);
  return witness_alive && !g_signalled ? 0 : 1;
}
