// What keeps the user from being left without a client by an upgrade: the signals that
// would end the launcher between the stop of the client and the next start are held, a
// trial start shows that processes can be made before the running client is stopped,
// and a build whose client did not start is remembered for a while, so that not every
// login copies it again.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <time.h>

#include <string>

// Holds SIGHUP, SIGTERM and SIGINT (a closed terminal, a logout, Ctrl-C) from Hold to
// Release, process-wide, whichever thread they reach. One that arrives meanwhile is noted,
// and Release lets the first such signal take its course as it would have at once.
class HeldSignals {
 public:
  HeldSignals() = default;
  ~HeldSignals();  // releases
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

  void Hold();
  // The signal that came while they were held, 0 when none did.
  int Pending() const;
  void Release();

 private:
  bool holding_ = false;
  struct sigaction saved_[3];
};

// True when count processes can run side by side now: the start script and what it runs.
// Else false, with the system's reason in *reason.
bool CanStartProcesses(int count, std::string* reason);

// A build whose client did not start while the one before it then did: it is not copied
// again for a day, unless the package's build changes meanwhile.
struct HeldBackBuild {
  std::string build;
  time_t since = 0;
  // Written before a running client is stopped for the build: a run killed before the
  // verdict leaves it, and the next start keeps the old copy (puts it back) and tries
  // the build again. A build on trial is not held back.
  bool on_trial = false;
  // The process group of the start script started on trial, 0 when none was recorded,
  // with its leader's start time (clock ticks after boot) and the boot it ran in: what a
  // run killed meanwhile started is stopped by the next start, wherever it runs from.
  pid_t starter = 0;
  unsigned long long starter_start = 0;
  std::string starter_boot;
};

// The record at path; false when there is none (or it cannot be read as one).
bool ReadHeldBackBuild(const std::string& path, HeldBackBuild* held);
// Replaces the record at path whole; false when it could not be written.
bool WriteHeldBackBuild(const std::string& path, const HeldBackBuild& held);
// Whether held keeps build from being tried at now. A clock set back before the record
// ends the hold, so that a wrong clock never keeps a build away for longer.
bool KeepsBack(const HeldBackBuild& held, const std::string& build, time_t now);
// When the hold of held ends.
time_t HoldEnds(const HeldBackBuild& held);
