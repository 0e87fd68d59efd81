#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSysInfo>
#include <memory>
#include <optional>

#include "qtsingleapplication.h"
#include "test_env.h"
#include "build_paths.h"

namespace {

QProcessEnvironment HelperEnv() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  return env;
}

// Starts the helper in "hold" (or "hold-spawn") mode and waits until it holds the lock.
std::unique_ptr<QProcess> StartHolder(const QString& mode = QStringLiteral("hold"),
                                      const QProcessEnvironment& env = HelperEnv()) {
  auto p = std::make_unique<QProcess>();
  p->setProcessEnvironment(env);
  p->start(QString::fromStdString(FCT_QT_HELPER), {mode});
  if (!p->waitForStarted(10000)) return nullptr;
  QByteArray out;
  while (!out.contains("held\n") && !out.contains("running=1")) {
    if (!p->waitForReadyRead(20000)) break;
    out += p->readAllStandardOutput();
  }
  p->setProperty("out", out);
  return p;
}

QString Probe(const QProcessEnvironment& env = HelperEnv()) {
  QProcess p;
  p.setProcessEnvironment(env);
  p.start(QString::fromStdString(FCT_QT_HELPER), {QStringLiteral("probe")});
  if (!p.waitForFinished(20000)) return QStringLiteral("timeout");
  return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

QString LockPath() {
  return QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR")) + QStringLiteral("/fct_qt_helper.single.lock");
}

void EndHolder(QProcess* p) {
  p->closeWriteChannel();
  p->waitForFinished(10000);
}

}  // namespace

TEST(QtSingleApplication, SecondProcessSeesTheFirstUntilItExits) {
  EXPECT_EQ(Probe(), QStringLiteral("running=0"));
  auto holder = StartHolder();
  ASSERT_NE(holder, nullptr);
  ASSERT_TRUE(holder->property("out").toByteArray().contains("running=0\nheld\n"));
  EXPECT_TRUE(QFile::exists(LockPath())) << LockPath().toStdString();

  EXPECT_EQ(Probe(), QStringLiteral("running=1"));
  EXPECT_EQ(Probe(), QStringLiteral("running=1"));

  EndHolder(holder.get());
  EXPECT_EQ(holder->exitCode(), 0);
  EXPECT_FALSE(QFile::exists(LockPath()));
  EXPECT_EQ(Probe(), QStringLiteral("running=0"));
}

TEST(QtSingleApplication, KilledHolderDoesNotBlockTheNextStart) {
  auto holder = StartHolder();
  ASSERT_NE(holder, nullptr);
  ASSERT_EQ(Probe(), QStringLiteral("running=1"));
  ::kill(static_cast<pid_t>(holder->processId()), SIGKILL);
  holder->waitForFinished(10000);
  // The dead holder's file stays behind; it must be taken over, not obeyed.
  ASSERT_TRUE(QFile::exists(LockPath()));
  EXPECT_EQ(Probe(), QStringLiteral("running=0"));

  auto next = StartHolder();
  ASSERT_NE(next, nullptr);
  EXPECT_TRUE(next->property("out").toByteArray().contains("running=0\nheld\n"));
  EXPECT_EQ(Probe(), QStringLiteral("running=1"));
  EndHolder(next.get());
}

TEST(QtSingleApplication, LockIsNotInheritedByStartedProcesses) {
  auto holder = StartHolder(QStringLiteral("hold-spawn"));
  ASSERT_NE(holder, nullptr);
  const QString out = QString::fromUtf8(holder->property("out").toByteArray());
  ASSERT_TRUE(out.contains(QStringLiteral("held"))) << out.toStdString();
  // The listing must have run at all (it always sees its own standard streams).
  EXPECT_TRUE(out.contains(QStringLiteral("fd: "))) << out.toStdString();
  EXPECT_FALSE(out.contains(QStringLiteral(".single.lock"))) << out.toStdString();

  const int child = out.section(QStringLiteral("child="), 1).section(QLatin1Char('\n'), 0, 0).toInt();
  ASSERT_GT(child, 0);
  // The holder crashes while the client it started lives on: the client must not keep
  // the lock alive.
  ::kill(static_cast<pid_t>(holder->processId()), SIGKILL);
  holder->waitForFinished(10000);
  ASSERT_EQ(::kill(child, 0), 0);
  EXPECT_EQ(Probe(), QStringLiteral("running=0"));
  ::kill(child, SIGKILL);
}

// Two users without a runtime folder share the temporary folder, where the other one
// has planted every name a lock could take there: a runtime folder of this user's name
// and lock files naming its own live process. Each user's lock lives in a private
// folder of its own, so neither keeps the other out, and nothing is made in the shared
// folder.
TEST(QtSingleApplication, AnotherUserCannotLockAUserOut) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
  const std::string shared = qvtest::MakeTempDir("shared-tmp");
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  ASSERT_EQ(::chmod(qvtest::SandboxRoot().c_str(), 0755), 0);
  const std::string mine = qvtest::MakeTempDir("mine");
  ASSERT_EQ(::chmod(mine.c_str(), 0700), 0);
  const std::string theirs = qvtest::MakeTempDir("theirs");
  ASSERT_EQ(::chown(theirs.c_str(), qvtest::UnprivilegedUid(), qvtest::UnprivilegedGid()), 0);
  ASSERT_EQ(::chmod(theirs.c_str(), 0700), 0);

  const std::string name = ::getpwuid(::geteuid())->pw_name;
  const std::string host = QSysInfo::machineHostName().toStdString();
  const std::string planted = "mkdir -p '" + shared + "/runtime-" + name + "' && for f in fct_qt_helper-" +
                              std::to_string(::geteuid()) + " fct_qt_helper; do printf '%s\\nfct_qt_helper\\n" +
                              host + "\\n' $PPID >'" + shared + "/'$f.single.lock; done && : >'" + shared +
                              "/application.single.lock'";
  ASSERT_EQ(0, qvtest::RunUnprivileged([&] { return qvtest::Shell(planted); }));
  const std::string listing = qvtest::ShellOutput("ls -lAn '" + shared + "'");

  QProcessEnvironment env = HelperEnv();
  env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
  env.insert(QStringLiteral("TMPDIR"), QString::fromStdString(shared));
  QProcessEnvironment my_env = env;
  my_env.insert(QStringLiteral("FCT_QT_HELPER_PRIVATE_FOLDER"), QString::fromStdString(mine));
  EXPECT_EQ(Probe(my_env), QStringLiteral("running=0"));
  auto holder = StartHolder(QStringLiteral("hold"), my_env);
  ASSERT_NE(holder, nullptr);
  ASSERT_EQ(Probe(my_env), QStringLiteral("running=1"));
  EXPECT_TRUE(QFile::exists(QString::fromStdString(mine + "/fct_qt_helper-" + host + ".single.lock")));

  // The other user's own instance is not kept out by this one either.
  QProcessEnvironment their_env = env;
  their_env.insert(QStringLiteral("FCT_QT_HELPER_PRIVATE_FOLDER"), QString::fromStdString(theirs));
  EXPECT_EQ(0, qvtest::RunUnprivileged([&their_env] {
    QProcess p;
    p.setProcessEnvironment(their_env);
    p.start(QString::fromStdString(FCT_QT_HELPER), {QStringLiteral("probe")});
    if (!p.waitForFinished(20000)) return 3;
    const QByteArray out = p.readAllStandardOutput();
    return out.contains("running=0") ? 0 : out.contains("running=1") ? 1 : 2;
  }));
  EndHolder(holder.get());
  EXPECT_EQ(listing, qvtest::ShellOutput("ls -lAn '" + shared + "'"));
}

// The runtime folder holds the lock only when it is the user's own folder (not a link to
// one) that nobody else may enter; else the private folder does, under a name that
// holds the host, as a home may be shared between machines; without either, no lock.
TEST(QtSingleApplication, TheLockIsKeptOnlyWhereNoOtherUserCanWrite) {
  const QByteArray saved_runtime = qgetenv("XDG_RUNTIME_DIR");
  const std::string run = qvtest::MakeTempDir("run");
  const std::string priv = qvtest::MakeTempDir("private");
  ASSERT_EQ(0, ::chmod(run.c_str(), 0700));
  ASSERT_EQ(0, ::chmod(priv.c_str(), 0700));
  const std::string in_private = priv + "/launcher-" + QSysInfo::machineHostName().toStdString() + ".single.lock";
  auto path_with = [](const std::optional<std::string>& runtime) {
    if (runtime) {
      qputenv("XDG_RUNTIME_DIR", QByteArray(runtime->c_str()));
    } else {
      qunsetenv("XDG_RUNTIME_DIR");
    }
    return QtSingleApplication::lockFilePath(QStringLiteral("launcher")).toStdString();
  };
  QtSingleApplication::setPrivateFolder(QString::fromStdString(priv));
  EXPECT_EQ(run + "/launcher.single.lock", path_with(run));
  EXPECT_EQ(in_private, path_with(std::nullopt));
  EXPECT_EQ(in_private, path_with(std::string("")));
  EXPECT_EQ(in_private, path_with(run + "/missing"));
  EXPECT_EQ(in_private, path_with(std::string("relative")));
  ASSERT_EQ(0, ::symlink(run.c_str(), (run + "-link").c_str()));
  EXPECT_EQ(in_private, path_with(run + "-link"));
  ASSERT_EQ(0, ::chmod(run.c_str(), 0755));
  EXPECT_EQ(in_private, path_with(run));
  if (::geteuid() == 0) {
    ASSERT_EQ(0, ::chmod(run.c_str(), 0700));
    ASSERT_EQ(0, ::chown(run.c_str(), qvtest::UnprivilegedUid(), qvtest::UnprivilegedGid()));
    EXPECT_EQ(in_private, path_with(run));
  }

  // The private folder is judged too; a link to it is what a user who moved it leaves.
  const std::string priv_link = priv + "-link";
  ASSERT_EQ(0, ::symlink(priv.c_str(), priv_link.c_str()));
  QtSingleApplication::setPrivateFolder(QString::fromStdString(priv_link));
  EXPECT_EQ(priv_link + in_private.substr(priv.size()), path_with(std::nullopt));
  ASSERT_EQ(0, ::chmod(priv.c_str(), 0775));
  EXPECT_EQ("", path_with(std::nullopt));
  QtSingleApplication::setPrivateFolder(QString());
  EXPECT_EQ("", path_with(std::nullopt));
  qputenv("XDG_RUNTIME_DIR", saved_runtime);
}
