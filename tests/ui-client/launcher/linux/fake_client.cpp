// Stands in for the per-user client: waits for signals until it is stopped.
//   fake_client ignore-term|exit-on-term READY_FILE
// The ready file is written once the signal disposition is in place, so a test never
// sends SIGTERM too early. An alarm ends forgotten copies.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  if (std::strcmp(argv[1], "ignore-term") == 0) ::signal(SIGTERM, SIG_IGN);
  ::alarm(60);
  int fd = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return 3;
  ::close(fd);
  for (;;) ::pause();
}
