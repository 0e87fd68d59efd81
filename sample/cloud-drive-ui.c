// cloud-drive-ui: the sample client shipped in the sample package. It stands in for the
// real synchronisation client: it records its process id where the launcher looks for
// it, runs until it is asked to stop, and then removes its record.
//
// The pid file lies beside the per-user app folder (<base>/.QuenvaleDrive/ui.pid when
// the program runs from <base>/.QuenvaleDrive/QuenvaleDrive.app/bin), so it follows the
// per-user copy wherever the launcher put it; a copy run from anywhere else uses
// $HOME/.QuenvaleDrive/ui.pid.
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

static int pid_file_path(char* out, size_t size) {
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    exe[n] = '\0';
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

int main(void) {
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
  if (pid_file_path(path, sizeof path) != 0) {
    fprintf(stderr, "cloud-drive-ui: no place for the pid file\n");
    return 1;
  }
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    fprintf(stderr, "cloud-drive-ui: %s: %s\n", path, strerror(errno));
    return 1;
  }
  // The lock lives as long as the process, so a file left by a killed client is
  // recognised as stale and one client per pid file runs at a time.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    fprintf(stderr, "cloud-drive-ui: already running (%s)\n", path);
    close(fd);
    return 0;
  }
  char text[32];
  int len = snprintf(text, sizeof text, "pid=%ld\n", (long)getpid());
  if (pwrite(fd, text, (size_t)len, 0) != len || ftruncate(fd, len) != 0) {
    fprintf(stderr, "cloud-drive-ui: %s: %s\n", path, strerror(errno));
    unlink(path);
    return 1;
  }

  note_event("started");

  int sig = 0;
  while (sigwait(&stop_signals, &sig) != 0) {
  }
  note_event("stopping");

  // Remove the file only if it is still ours: a successor may have replaced it.
  struct stat ours, now;
  if (fstat(fd, &ours) == 0 && stat(path, &now) == 0 && ours.st_dev == now.st_dev &&
      ours.st_ino == now.st_ino) {
    unlink(path);
  }
  close(fd);
  return 0;
}
