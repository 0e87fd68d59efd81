// Stands in for the per-user client: waits for signals until it is stopped.
//   fake_client ignore-term|exit-on-term READY_FILE
// The ready file is written once the signal disposition is in place, so a test never
// sends SIGTERM too early. An alarm ends forgotten copies.
//   fake_client reap-late PID_FILE PROGRAM ARGS...: a parent slow to reap. Its child
// runs PROGRAM, named in PID_FILE ("pid=N"), and stays a zombie for 2 s after its end.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "reap-late") == 0) {
    const pid_t child = ::fork();
    if (child == 0) {
      ::execv(argv[3], argv + 3);
      ::_exit(127);
    }
    std::ofstream(argv[2]) << "pid=" << child << "\n";
    siginfo_t end;
    while (::waitid(P_PID, static_cast<id_t>(child), &end, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    ::sleep(2);
    ::waitpid(child, nullptr, 0);
    return 0;
  }
  if (argc != 3) return 2;
  if (std::strcmp(argv[1], "ignore-term") == 0) ::signal(SIGTERM, SIG_IGN);
  ::alarm(60);
  int fd = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return 3;
  ::close(fd);
  for (;;) ::pause();
}
