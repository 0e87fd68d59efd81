// The user's home without HOME, private folders whatever the umask, and the upgrade lock
// between launchers of other processes, sessions and hosts.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QFile>
#include <QSysInfo>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "test_env.h"
#include "user-folder.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

unsigned ModeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFFu;
}

TEST(UserHomeTest, HomeComesFromThePasswdEntryWhenUnsetOrEmpty) {
  const struct passwd* entry = ::getpwuid(::getuid());
  ASSERT_NE(nullptr, entry);
  const std::string passwd_home = entry->pw_dir;
  for (const char* value : {static_cast<const char*>(nullptr), ""}) {
    SCOPED_TRACE(value == nullptr ? "unset" : "empty");
    EXPECT_EQ(0, qvtest::RunInChild([&] {
      if (value == nullptr) {
        ::unsetenv("HOME");
      } else {
        ::setenv("HOME", value, 1);
      }
      CHILD_CHECK(1, UserHomeFolder() == Q(passwd_home));
      CHILD_CHECK(2, EnsureHomeVariable());
      CHILD_CHECK(3, std::string(::getenv("HOME")) == passwd_home);
      return 0;
    }));
  }
  // A HOME that is set wins, and is left as it is.
  const std::string home = qvtest::MakeTempDir("home");
  EXPECT_EQ(0, qvtest::RunInChild([&] {
    ::setenv("HOME", home.c_str(), 1);
    CHILD_CHECK(1, UserHomeFolder() == Q(home));
    CHILD_CHECK(2, EnsureHomeVariable() && std::string(::getenv("HOME")) == home);
    return 0;
  }));
}

TEST(PrivateFolderTest, MadeAndNarrowedToItsOwnerWhateverTheUmask) {
  const std::string base = qvtest::MakeTempDir("private");
  for (mode_t mask : {022, 0277, 0}) {
    SCOPED_TRACE(mask);
    const std::string top = base + "/m" + std::to_string(mask);
    const mode_t old = ::umask(mask);
    mode_t loosened = 1;
    const int rc = MakePrivateFolder(Q(top + "/a/b"), &loosened);
    ::umask(old);
    ASSERT_EQ(0, rc);
    EXPECT_EQ(0u, loosened);
    for (const std::string& dir : {top, top + "/a", top + "/a/b"}) EXPECT_EQ(0700u, ModeOf(dir)) << dir;
  }

  // An existing folder open to others loses those bits; what it holds keeps its modes.
  const std::string open = base + "/open";
  ASSERT_EQ(0, qvtest::Shell("mkdir -p '" + open + "/sub' && touch '" + open + "/file' && chmod 0755 '" + open +
                             "' '" + open + "/sub' && chmod 0644 '" + open + "/file'"));
  mode_t loosened = 0;
  ASSERT_EQ(0, MakePrivateFolder(Q(open), &loosened));
  EXPECT_EQ(0755u, loosened);
  EXPECT_EQ(0700u, ModeOf(open));
  EXPECT_EQ(0755u, ModeOf(open + "/sub"));
  EXPECT_EQ(0644u, ModeOf(open + "/file"));
  ASSERT_EQ(0, MakePrivateFolder(Q(open), &loosened));
  EXPECT_EQ(0u, loosened);

  // A file in the way is no folder.
  EXPECT_EQ(-1, MakePrivateFolder(Q(open + "/file")));
  EXPECT_EQ(-1, MakePrivateFolder(Q(open + "/file/below")));
}

class UpgradeLockTest : public ::testing::Test {
 protected:
  // A short stand-in for the launcher's stale time (a minute), still long beside the
  // refreshes of the tests' holders (20 ms) on a loaded machine.
  static constexpr int kShortStaleMs = 500;

  void SetUp() override { path_ = qvtest::MakeTempDir("lock") + "/drive/upgrade.lock"; }

  // A lock file as a launcher leaves it when it dies holding the lock.
  void LeaveLockOfDeadProcess() {
    ASSERT_EQ(0, qvtest::RunInChild([this] {
      UpgradeLock lock(Q(path_));
      CHILD_CHECK(1, lock.Acquire(0) == UpgradeLock::kLocked);
      ::_exit(0);  // no release
      return 0;
    }));
    ASSERT_TRUE(QFile::exists(Q(path_)));
  }

  // Makes the lock file name another machine: its host name, machine id and boot id.
  void MoveLockToHost(const std::string& host) {
    const std::string text = qvtest::ReadFile(path_);
    std::vector<std::string> lines;
    for (size_t from = 0, to; (to = text.find('\n', from)) != std::string::npos; from = to + 1)
      lines.push_back(text.substr(from, to - from));
    ASSERT_GE(lines.size(), 3u) << text;
    ASSERT_EQ(QSysInfo::machineHostName().toStdString(), lines[2]) << text;
    lines[2] = host;
    for (size_t i = 3; i < lines.size(); ++i) lines[i] = std::string(lines[i].size(), '7');
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    ASSERT_TRUE(qvtest::WriteFile(path_, out));
  }

  void AgeLock(int seconds) {
    struct timespec times[2];
    ::clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= seconds;
    times[1] = times[0];
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path_.c_str(), times, 0));
  }

  // Keeps the lock fresh as its holder does from a machine whose clock is ten minutes
  // ahead.
  void KeepFreshAhead(int every_ms) {
    keeper_ = qvtest::KeepTouching(path_, 600, every_ms);
    ASSERT_GT(keeper_, 0);
  }
  void StopKeeping() {
    if (keeper_ <= 0) return;
    ::kill(keeper_, SIGKILL);
    ::waitpid(keeper_, nullptr, 0);
    keeper_ = -1;
  }
  void TearDown() override { StopKeeping(); }

  std::string path_;
  pid_t keeper_ = -1;
};

TEST_F(UpgradeLockTest, OneHolderAtATimeAndTheFolderIsMadePrivate) {
  UpgradeLock first(Q(path_));
  ASSERT_EQ(UpgradeLock::kLocked, first.Acquire(0));
  EXPECT_EQ(0700u, ModeOf(path_.substr(0, path_.rfind('/'))));

  // Another process of this host that holds it keeps it, and is named.
  UpgradeLock second(Q(path_));
  EXPECT_EQ(UpgradeLock::kBusy, second.Acquire(50));
  EXPECT_EQ(QStringLiteral("pid %1 on host '%2'").arg(::getpid()).arg(QSysInfo::machineHostName()),
            second.Holder());

  first.Release();
  EXPECT_FALSE(QFile::exists(Q(path_)));
  EXPECT_EQ(UpgradeLock::kLocked, second.Acquire(0));
}

// A holder frozen while another launcher took its lock over (the file removed and made
// anew, or written over) knows it is no longer its own, and neither its refresher nor
// its release touches the other's file.
TEST_F(UpgradeLockTest, ALockTakenOverIsNoLongerTheHoldersAndIsLeftAlone) {
  UpgradeLock lock(Q(path_), kShortStaleMs, 20);
  ASSERT_EQ(UpgradeLock::kLocked, lock.Acquire(0));
  EXPECT_TRUE(lock.StillOwn());
  const std::string record = qvtest::ReadFile(path_);
  ASSERT_TRUE(qvtest::WriteFile(path_, "4242\nlauncher\nelsewhere.example\n"));
  EXPECT_FALSE(lock.StillOwn()) << "another record in the same file";
  ASSERT_EQ(0, ::unlink(path_.c_str()));
  ASSERT_TRUE(qvtest::WriteFile(path_, record));
  EXPECT_FALSE(lock.StillOwn()) << "the same record in another file";
  AgeLock(3600);
  struct stat before, after;
  ASSERT_EQ(0, ::stat(path_.c_str(), &before));
  // Time for several of the refreshes that the holder would make of its own file.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  lock.Release();
  ASSERT_EQ(0, ::stat(path_.c_str(), &after)) << "the release removed another's lock";
  EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec) << "the refresher touched another's lock";
}

TEST_F(UpgradeLockTest, ALockOfADeadProcessOfThisHostIsTakenOver) {
  LeaveLockOfDeadProcess();
  UpgradeLock lock(Q(path_));
  EXPECT_EQ(UpgradeLock::kLocked, lock.Acquire(0));
}

// A lock of another host is stale only once this process has watched it go unrefreshed
// for the stale time, whatever its times say: an old time is no proof that its holder
// has gone, and a time ahead of this machine's clock is no proof that it is there.
TEST_F(UpgradeLockTest, ALockOfAnotherHostIsHonouredUntilItIsStale) {
  // Its pid says nothing here, dead or not.
  LeaveLockOfDeadProcess();
  MoveLockToHost("elsewhere.example");
  UpgradeLock lock(Q(path_), kShortStaleMs);
  EXPECT_EQ(UpgradeLock::kBusy, lock.Acquire(100));
  EXPECT_EQ(QStringLiteral("pid "), lock.Holder().left(4));
  EXPECT_TRUE(lock.Holder().endsWith(QStringLiteral(" on host 'elsewhere.example'"))) << lock.Holder().toStdString();
  AgeLock(3600);
  EXPECT_EQ(UpgradeLock::kBusy, lock.Acquire(0)) << "a time an hour old is a refresh seen now";
  EXPECT_EQ(UpgradeLock::kLocked, lock.Acquire(4 * kShortStaleMs));
}

// The holder's clock is ten minutes ahead of this one, and it keeps the lock fresh: the
// lock is waited for, and given up as any fresh one, until the holder stops.
TEST_F(UpgradeLockTest, ALockWithTimesAheadIsHonouredWhileItIsKeptFresh) {
  LeaveLockOfDeadProcess();
  MoveLockToHost("elsewhere.example");
  KeepFreshAhead(20);
  UpgradeLock lock(Q(path_), kShortStaleMs);
  EXPECT_EQ(UpgradeLock::kBusy, lock.Acquire(0));
  EXPECT_EQ(UpgradeLock::kBusy, lock.Acquire(3 * kShortStaleMs));
  StopKeeping();
  EXPECT_EQ(UpgradeLock::kLocked, lock.Acquire(4 * kShortStaleMs));
}

// With no thread to spare for its refresher, the lock is still taken, and its holder
// keeps it fresh as it works.
TEST_F(UpgradeLockTest, WithoutAThreadOfItsOwnTheHolderKeepsItFresh) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to run as a user of its own";
  const unsigned uid = qvtest::ClaimUid(64360);  // alone under its process limit
  ASSERT_NE(0u, uid);
  const std::string base = path_.substr(0, path_.rfind("/drive/"));
  ASSERT_EQ(0, ::chown(base.c_str(), uid, uid));
  EXPECT_EQ(0, qvtest::RunInChild([&] {
    const struct rlimit one = {1, 1};
    CHILD_CHECK(1, ::setrlimit(RLIMIT_NPROC, &one) == 0 && ::setgroups(0, nullptr) == 0 && ::setgid(uid) == 0 &&
                       ::setuid(uid) == 0);
    auto mtime = [this] {
      struct stat st;
      return ::stat(path_.c_str(), &st) == 0 ? st.st_mtim.tv_sec : -1;
    };
    UpgradeLock lock(Q(path_), kShortStaleMs, 50);
    CHILD_CHECK(2, lock.Acquire(0) == UpgradeLock::kLocked);
    const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    CHILD_CHECK(3, ::utimensat(AT_FDCWD, path_.c_str(), old, 0) == 0);
    lock.RefreshIfDue();
    CHILD_CHECK(4, mtime() == 1000000000);  // not due yet
    ::usleep(100 * 1000);
    lock.RefreshIfDue();
    CHILD_CHECK(5, mtime() > 1000000000);
    lock.Release();
    CHILD_CHECK(6, !QFile::exists(Q(path_)));
    return 0;
  }));
}

TEST_F(UpgradeLockTest, NoLockWhereNoFileCanBeMade) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to drop privileges";
  // A folder of root's that nobody can write.
  const std::string closed = qvtest::MakeTempDir("closed");
  ::chmod(closed.c_str(), 0755);
  EXPECT_EQ(0, qvtest::RunUnprivileged([&] {
    UpgradeLock lock(Q(closed + "/upgrade.lock"));
    CHILD_CHECK(1, lock.Acquire(0) == UpgradeLock::kUnavailable);
    return 0;
  }));
}

}  // namespace
