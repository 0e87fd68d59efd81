// The ground the per-user install stands on: whose home it is (also where HOME is not
// set), a per-user folder that only its user can read, and one upgrade at a time in it,
// whichever session or machine the launchers sharing the home run in.
#pragma once

#include <sys/types.h>

#include <QString>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "package-upgrade.h"

// The user's home folder: HOME when it is set and not empty, else the home folder of the
// user's passwd entry; "" when there is neither.
QString UserHomeFolder();

// Sets HOME to the passwd entry's home when it is unset or empty (a service, a cron job,
// `env -i`), so that Qt, the path table and the client started later agree on it. False
// when the user has no home at all.
bool EnsureHomeVariable();

// Creates path and its missing parents with mode 0700, whatever the umask. When path
// already existed and was open to its group or others, those bits are taken off the
// folder itself (not its contents) and its former mode is put in *loosened; otherwise
// *loosened is 0. 0, or -1 when a folder could not be created.
int MakePrivateFolder(const QString& path, mode_t* loosened = nullptr);

// A lock on the upgrade of one per-user folder, held by one launcher from its recovery
// at start to the end of its upgrade. It is a lock file that records pid, host, machine
// and a token of the run, so it also works between sessions with different runtime
// folders and between machines that share a network home. A lock left by a dead process
// of this host is taken over at once. Any other is honoured while its holder keeps it
// fresh, which the holder does every refresh_ms while it holds it: it is stale only once
// this launcher has watched it go unrefreshed for stale_ms on its own monotonic clock,
// whatever times the file bears (the clocks of two machines need not agree).
//
// A holder frozen for longer (a suspended laptop) may find on waking that another
// launcher took its lock: StillOwn tells it, and neither its refresher nor its release
// ever touches or removes a lock file that is not the one it made.
class UpgradeLock {
 public:
  enum Result { kLocked, kBusy, kUnavailable };

  static constexpr int kStaleMs = 60000;
  static constexpr int kRefreshMs = 10000;

  explicit UpgradeLock(const QString& path, int stale_ms = kStaleMs, int refresh_ms = kRefreshMs);
  ~UpgradeLock();  // releases

  // Takes the lock, waiting up to wait_ms while another launcher holds it. kBusy when it
  // is still held then; kUnavailable when no lock file can be made there. The watch of
  // another holder's lock goes on from one call to the next.
  Result Acquire(int wait_ms);
  void Release();
  bool IsHeld() const { return fd_ >= 0; }

  // Whether the file at the lock's path is still the one this holder made (the same
  // file, with its own record in it). False once it has been removed or replaced, or
  // when the lock is not held. Any thread.
  bool StillOwn() const;

  // "pid N on host 'H'" of the lock file's current holder, for the log; "nobody" when
  // there is no lock file.
  QString Holder() const;

  // Refreshes the lock file when it is due and no thread of its own does (none could be
  // started): then the holder calls this now and then while it works. Any thread.
  void RefreshIfDue();

 private:
  // The lock file as the file system describes it (path "" when there is none): a
  // refresh or a new lock changes it.
  PackageEntry LookAtFile() const;
  // Makes the lock file: 1 made, 0 one stands there, -1 none can be made.
  int Create();
  // True when the lock file names a process of this machine that is gone.
  bool HolderOfThisMachineGone() const;
  // True once the lock file has looked the same for stale_ms since the first look.
  bool WatchedGoStale();
  // Removes the lock file that stands at the path, unless its holder still holds its
  // native lock or (with watched) it has changed since it was watched.
  bool RemoveStale(bool watched);
  void StartRefresher();
  void KeepFresh();
  void Touch();

  QString path_;
  std::string name_;  // path_, encoded
  const int stale_ms_;
  const int refresh_ms_;
  int fd_ = -1;  // the lock file this holder made, open (and flock'ed) while held
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  std::string record_;  // what it wrote there
  bool watching_ = false;
  PackageEntry watched_;
  std::chrono::steady_clock::time_point watched_since_;

  std::mutex mutex_;
  std::condition_variable wake_;
  bool releasing_ = false;
  bool refresh_inline_ = false;  // held, with no refresher thread
  std::chrono::steady_clock::time_point last_refresh_;
  std::thread refresher_;
};
