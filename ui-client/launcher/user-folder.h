// The ground the per-user install stands on: whose home it is (also where HOME is not
// set), a per-user folder that only its user can read, and one upgrade at a time in it,
// whichever session or machine the launchers sharing the home run in.
#pragma once

#include <sys/types.h>

#include <QLockFile>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

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
// at start to the end of its upgrade. It is a lock file that records pid and host, so it
// also works between sessions with different runtime folders and between machines that
// share a network home. A lock left by a dead process of this host is taken over at
// once; one of another host is honoured while its holder keeps it fresh, which the
// holder does every few seconds while it holds it.
class UpgradeLock {
 public:
  enum Result { kLocked, kBusy, kUnavailable };

  explicit UpgradeLock(const QString& path);
  ~UpgradeLock();  // releases

  // Takes the lock, waiting up to wait_ms while another launcher holds it. kBusy when it
  // is still held then; kUnavailable when no lock file can be made there.
  Result Acquire(int wait_ms);
  void Release();

  // "pid N on host 'H'" of the lock file's current holder, for the log.
  QString Holder();

  static constexpr int kStaleMs = 60000;  // an unrefreshed lock of another host is stale after this
  static constexpr int kRefreshMs = 10000;

 private:
  void KeepFresh();

  QString path_;
  QLockFile lock_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool releasing_ = false;
  std::thread refresher_;
};
