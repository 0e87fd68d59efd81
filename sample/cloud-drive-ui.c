// cloud-drive-ui: the sample client shipped in the sample package. It stands in for the
// real synchronisation client: it records its process id where the launcher looks for
// it, runs until it is asked to stop, and then removes its record.
//
// The pid file lies beside the per-user app folder (<base>/.QuenvaleDrive/ui.pid when
// the program is started as <base>/.QuenvaleDrive/QuenvaleDrive.app/bin/cloud-drive-ui),
// so it follows the per-user copy wherever the launcher put it. The path it was started
// by decides, not the path of its file with links resolved: the launcher reads the pid
// file at that place even when the app folder or the per-user folder is a link to
// another disk. A copy started any other way uses $HOME/.QuenvaleDrive/ui.pid.
//
// With QV_SAMPLE_EVENTS=<file> it appends "started <pid> <time>" once it runs and
// "stopping <pid> <time>" when it is asked to stop (wall-clock seconds), so that a test
// can tell how long the user was without a client across an upgrade.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static const char kAppFolder[] = "QuenvaleDrive.app";

// Cuts the last component off path in place; returns its start, or NULL at the root.
static char* cut_last(char* path) {
  char* slash = strrchr(path, '/');
  if (!slash || slash == path) return NULL;
  *slash = '\0';
  return slash + 1;
}

static int pid_file_path(const char* program, char* out, size_t size) {
  char exe[PATH_MAX];
  if (program && program[0] == '/' && snprintf(exe, sizeof exe, "%s", program) < (int)sizeof exe) {
    // exe = <base>/.QuenvaleDrive/QuenvaleDrive.app/bin/cloud-drive-ui
    if (cut_last(exe) && cut_last(exe)) {
      char* app = strrchr(exe, '/');
      if (app && strcmp(app + 1, kAppFolder) == 0 && cut_last(exe)) {
        return snprintf(out, size, "%s/ui.pid", exe) < (int)size ? 0 : -1;
      }
    }
  }
  const char* home = getenv("HOME");
  if (!home || !*home) return -1;
  char folder[PATH_MAX];
  if (snprintf(folder, sizeof folder, "%s/.QuenvaleDrive", home) >= (int)sizeof folder) return -1;
  if (mkdir(folder, 0700) != 0 && errno != EEXIST) return -1;
  return snprintf(out, size, "%s/ui.pid", folder) < (int)size ? 0 : -1;
}

// True when the pid file is held by a live client: each client keeps its own pid file
// locked for its whole life, so a file left by a killed one is free.
static int other_client_runs(const char* path) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st;
  int held = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_SH | LOCK_NB) != 0 &&
             errno == EWOULDBLOCK;
  close(fd);
  return held;
}

static void note_event(const char* what) {
  const char* path = getenv("QV_SAMPLE_EVENTS");
  if (!path || !*path) return;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  FILE* f = fopen(path, "a");
  if (!f) return;
  fprintf(f, "%s %ld %lld.%09ld\n", what, (long)getpid(), (long long)now.tv_sec, now.tv_nsec);
  fclose(f);
}

int main(int argc, char** argv) {
  // Started detached by the start script: whatever descriptors the starter leaked
  // (pipes of a test harness, a terminal) must not be held open for our whole life.
  if (close_range(3, ~0U, 0) != 0) {
    for (int fd = 3; fd < 1024; ++fd) close(fd);
  }

  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigprocmask(SIG_BLOCK, &stop_signals, NULL);
  signal(SIGHUP, SIG_IGN);

  char path[PATH_MAX];
  if (pid_file_path(argc > 0 ? argv[0] : NULL, path, sizeof path) != 0) {
    fprintf(stderr, "cloud-drive-ui: no place for the pid file\n");
    return 1;
  }
  if (other_client_runs(path)) {
    fprintf(stderr, "cloud-drive-ui: already running (%s)\n", path);
    return 0;
  }
  // Written to a new file, locked, then renamed over the old one: whatever stands at
  // the pid file's name (a link to another file, say) is replaced, never written through.
  char fresh[PATH_MAX + 32];
  snprintf(fresh, sizeof fresh, "%s.%ld", path, (long)getpid());
  unlink(fresh);
  int fd = open(fresh, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    fprintf(stderr, "cloud-drive-ui: %s: %s\n", fresh, strerror(errno));
    return 1;
  }
  char text[32];
  int len = snprintf(text, sizeof text, "pid=%ld\n", (long)getpid());
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || write(fd, text, (size_t)len) != len || rename(fresh, path) != 0) {
    fprintf(stderr, "cloud-drive-ui: %s: %s\n", path, strerror(errno));
    unlink(fresh);
    return 1;
  }

  note_event("started");

  int sig = 0;
  while (sigwait(&stop_signals, &sig) != 0) {
  }
  note_event("stopping");

  // Remove the file only if it is still ours: a successor may have replaced it.
  struct stat ours, now;
  if (fstat(fd, &ours) == 0 && lstat(path, &now) == 0 && ours.st_dev == now.st_dev &&
      ours.st_ino == now.st_ino) {
    unlink(path);
  }
  close(fd);
  return 0;
}
