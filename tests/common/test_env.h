// Shared helpers for the test programs: the per-process sandbox, temporary folders,
// running shell commands, and running code with root's privileges dropped.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace qvtest {

// Root of this test process's private sandbox (HOME, XDG_* and TMPDIR live below it).
const std::string& SandboxRoot();

// Creates a fresh, empty folder below the sandbox and returns its absolute path.
std::string MakeTempDir(const std::string& hint = "dir");

// Writes text to path (creating or truncating it); returns false on failure.
bool WriteFile(const std::string& path, const std::string& text);

// Reads a whole file; returns an empty string when it cannot be read.
std::string ReadFile(const std::string& path);

// Runs a command with /bin/sh -c and returns its exit status (-1 if it did not exit).
int Shell(const std::string& command);

// Runs a command with /bin/sh -c and returns what it printed on standard output.
std::string ShellOutput(const std::string& command);

// Runs fn in a forked child and returns the child's exit status (the low 8 bits of fn's
// result), or -1 when the fork failed or the child did not exit normally.
int RunInChild(const std::function<int()>& fn);

// Runs fn in a forked child that has dropped root to the "nobody" user, and returns
// the child's exit status (fn's result) or -1 when the child did not exit normally.
// Needed because root passes every permission check.
int RunUnprivileged(const std::function<int()>& fn);

// Exit status of a RunWithTmpfs child that was refused a private mount namespace or the
// mount.
const int kMountRefused = 77;

// Runs fn in a forked child that has its own mount namespace (so nothing leaks to the
// host) with a tmpfs of the given size mounted on mount_dir. Returns fn's result,
// kMountRefused when the namespace or the mount was refused, -1 on an abnormal end.
// A watchdog alarm turns a hang into a failure instead of a stuck test.
int RunWithTmpfs(const std::string& mount_dir, const std::string& size, const std::function<int()>& fn);

// Starts a process that sets the times of path to ahead_s seconds past now, every
// every_ms, until it is killed, as the holder of a lock file keeps it fresh from a
// machine whose clock is ahead. Its pid, or -1 when the fork failed.
pid_t KeepTouching(const std::string& path, int ahead_s, int every_ms);

// The uid/gid that RunUnprivileged switches to.
unsigned UnprivilegedUid();
// A user id for this process alone, from `from` on: a process limit counts every task of
// its user machine-wide, so an id that a test runs as under one is claimed (a lock under
// /run, held until the process ends) and one that another test holds, or that any
// process runs as, is passed over. 0 when none is free.
unsigned ClaimUid(unsigned from);
unsigned UnprivilegedGid();

// Sets up the sandbox and the environment; called once by the test mains.
void PrepareSandbox();
void RemoveSandbox();

// Takes "--qv_time_limit=S" (CTest's limit of the case, in seconds) out of the arguments.
// Shortly before CTest would kill this process, a watchdog ends the processes it
// started and removes the sandbox, then exits with a failure, so that a case that ran
// out of time leaves nothing behind.
void WatchTimeLimit(int* argc, char** argv);

}  // namespace qvtest

// Inside a forked child: a failed check ends it with the check's number.
#define CHILD_CHECK(n, cond) \
  do {                       \
    if (!(cond)) return (n); \
  } while (0)
