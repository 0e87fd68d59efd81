// The pieces of an upgrade that keep the per-user app folder whole whenever the process
// dies: the package is copied into a staging folder beside the app folder while the old
// client still runs, flushed to disk and renamed to a "ready" name; only then is the
// client stopped and the ready copy swapped in by renames. The names beside the app
// folder:
//   <app>_staging.RUN    a copy being written: never trusted, removed at every start
//   <app>_ready.RUN      a complete copy on disk, waiting to be swapped in
//   <app>_tmp, _tmp1-9   the old copy, set aside during the swap (the backup names)
//   <app>_discard        a folder whose entries are on their way out: never trusted
#pragma once

#include <chrono>
#include <condition_variable>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ustring/ustring.h"

// Name of the backup folder number `tries` beside the app folder: app_dir + "_tmp"
// (tries 0) or app_dir + "_tmp" + tries.
ustring GetAppBackupDir(const ustring& app_dir, int tries);
// The staging and ready names of this run: RUN is a token of this process, so that a
// launcher that wakes up after another took its lock over can never write into, rename
// or remove the other's copy.
ustring GetAppStagingDir(const ustring& app_dir);
ustring GetAppReadyDir(const ustring& app_dir);
// Names this run RUN instead of a random token: for a test that must know the names
// beforehand. Before any of the names is used.
void SetRunSuffix(const std::string& suffix);
ustring GetAppDiscardDir(const ustring& app_dir);

// One entry of a package tree as the file system describes it; any change of its
// content, mode or links, or its replacement by a rename, changes one of these.
struct PackageEntry {
  std::string path;  // relative to the package, "" for the package itself
  dev_t dev = 0;
  ino_t ino = 0;
  mode_t mode = 0;
  off_t size = 0;
  struct timespec mtime = {0, 0};
  struct timespec ctime = {0, 0};
};
bool operator==(const PackageEntry& a, const PackageEntry& b);
// The entry that st describes, under path.
PackageEntry EntryOf(const std::string& path, const struct stat& st);

// What one walk of a package tree finds: the bytes of file data (the progress total),
// the number of files, the room the copy takes on a file system with the given block
// size, and every entry, sorted by path. A missing package measures as empty: the copy
// reports it. A walk that could not look at everything says why in error ("cannot open
// '<path>': <reason>"); its entries are then incomplete and tell nothing.
struct PackageSize {
  uint64_t bytes = 0;
  uint64_t files = 0;
  uint64_t disk_bytes = 0;
  std::vector<PackageEntry> entries;
  std::string error;
};

// Walks package (and its version file info, an entry of its own) with the given block
// size.
PackageSize MeasurePackage(const ustring& package, const ustring& info, uint64_t block);

// Compares two walks of one package. "" when they are the same; else what differs first,
// in words ("'bin/x' changed", "'y' appeared", "'z' vanished").
std::string PackageChange(const PackageSize& before, const PackageSize& after);

// Waits until two walks of the package quiet_ms apart agree, for limit_ms at most, calling
// between (when given) at every pause. True when the package has settled; false when it
// has not or a walk failed, which *error then tells.
bool WaitForPackageToSettle(const ustring& package, const ustring& info, int quiet_ms, int limit_ms,
                            std::string* error, const std::function<void()>& between = nullptr);

// Measures package (see MeasurePackage) and checks that the file system of folder has
// room for its copy plus a margin (5 % or 16 MiB, whichever is more). 0 when it has;
// -1, with an ERROR line giving the bytes needed and free, when it has not or cannot be
// asked, or giving the reason when the package cannot be listed.
int CheckRoomForPackage(const ustring& package, const ustring& info, const ustring& folder,
                        PackageSize* size);

// At every start, before anything looks at the app folder. When the app folder is
// missing, the complete copy that an interrupted upgrade left (a ready copy of any run,
// else a backup) is renamed into its place. Then whatever interrupted runs left beside it is
// removed, except backups beside a copy that may be incomplete (an upgrade did not
// finish with it): for those it returns true, and the copy must be installed again;
// the backups stay until that succeeds.
bool RecoverInterruptedUpgrade(const ustring& app_dir);

// Flushes the staged copy and everything else on its file system through sync_point
// (FSOpenSyncPoint, opened before the copy began, and closed here), then renames the
// copy to the ready name and flushes that rename. 0, or -1 logged.
int MakeStagedCopyDurable(const ustring& app_dir, int sync_point);

// Removes what staging leaves beside app_dir: the staging folder, and the ready copy
// through the discard folder. What cannot be removed is moved into the discard folder,
// so that the names stay free for a new copy.
void DropStagedCopies(const ustring& app_dir);
// The same for a launcher that lost the upgrade lock: only this run's own names are
// removed, and the discard folder, which every launcher uses, is left alone.
void RemoveOwnStagedCopies(const ustring& app_dir);

// Removes path with all it holds (FSRemove), opening read-only folders to their owner
// where that is needed. 0, or FSRemove's failure.
int RemoveTree(const ustring& path);

// Moves path (beside app_dir) into the discard folder, or removes it at once when that
// cannot be done: a folder half removed must never stand under a name that is trusted.
void DiscardPath(const ustring& app_dir, const ustring& path);
// Removes the discard folder with all it holds.
void EmptyDiscard(const ustring& app_dir);

// Turns bytes copied into progress reports for the dialog (through Notify_Adapter), as
// a share of total computed in 64 bits, at most about 20 times a second. Any thread may
// add; tick, when given, is called at every addition, on the adding thread.
class CopyProgress {
 public:
  explicit CopyProgress(uint64_t total, std::function<void()> tick = nullptr);
  void Add(uint64_t bytes);

 private:
  const std::function<void()> tick_;
  std::mutex mutex_;
  uint64_t total_;
  uint64_t done_ = 0;
  int last_share_ = 0;
  std::chrono::steady_clock::time_point last_report_;
};

// Copies files (FSCopyNoSync, with their permissions) on a few threads while the caller
// walks the tree and makes its folders. Creating files is most of the cost of a tree of
// small files; a folder takes one creation at a time, so each thread takes a batch of
// one folder's files and the threads work in different folders. After a failure the
// remaining copies are dropped. When fewer threads can be started, the pool works with
// those it got; with none, Submit copies the batch on the calling thread.
class CopyPool {
 public:
  using Batch = std::vector<std::pair<ustring, ustring>>;  // source, destination
  // Files of one folder per batch, at most.
  static const size_t kBatchFiles = 64;

  // stop, when given, is asked before each file (it must be cheap): once it says so,
  // the copy ends and its failure is not reported (the caller knows why).
  explicit CopyPool(CopyProgress* progress, std::function<bool()> stop = nullptr);
  ~CopyPool();  // waits for the threads
  // Queues copies; false once a copy has failed.
  bool Submit(Batch batch);
  // Waits until every queued copy is done; 0 when all succeeded, else -1.
  int Finish();
  // The first copy that failed, with its errno, handed out once so that it is reported
  // once.
  bool TakeFailure(ustring* src, ustring* dst, int* err);

 private:
  void Work();
  void Copy(const Batch& batch);

  CopyProgress* progress_;
  const std::function<bool()> stop_;
  std::mutex mutex_;
  std::condition_variable wake_;  // a job, or the end
  std::condition_variable idle_;  // the queue ran dry
  std::deque<Batch> jobs_;
  int busy_ = 0;
  bool failed_ = false;
  bool failure_taken_ = false;
  bool closing_ = false;
  std::pair<ustring, ustring> failure_;
  int failure_errno_ = 0;
  std::vector<std::thread> threads_;
};
