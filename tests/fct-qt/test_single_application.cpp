#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <memory>

#include "qtsingleapplication.h"
#include "test_env.h"

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
  p->start(QStringLiteral(FCT_QT_HELPER), {mode});
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
  p.start(QStringLiteral(FCT_QT_HELPER), {QStringLiteral("probe")});
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

TEST(QtSingleApplication, DifferentUsersNeverBlockEachOther) {
  // Both users share one temporary folder and have no XDG_RUNTIME_DIR, so each gets a
  // runtime folder of its own under it.
  const std::string shared = qvtest::MakeTempDir("shared-tmp");
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  ASSERT_EQ(::chmod(qvtest::SandboxRoot().c_str(), 0755), 0);
  QProcessEnvironment env = HelperEnv();
  env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
  env.insert(QStringLiteral("TMPDIR"), QString::fromStdString(shared));

  auto holder = StartHolder(QStringLiteral("hold"), env);
  ASSERT_NE(holder, nullptr);
  ASSERT_EQ(Probe(env), QStringLiteral("running=1"));

  auto probeAsOther = [](QProcessEnvironment e) {
    return qvtest::RunUnprivileged([&e] {
      QProcess p;
      p.setProcessEnvironment(e);
      p.start(QStringLiteral(FCT_QT_HELPER), {QStringLiteral("probe")});
      if (!p.waitForFinished(20000)) return 3;
      const QByteArray out = p.readAllStandardOutput();
      return out.contains("running=0") ? 0 : out.contains("running=1") ? 1 : 2;
    });
  };
  EXPECT_EQ(probeAsOther(env), 0);

  // The other user pointed at this user's runtime folder (a mistake, but a real one) is
  // refused by Qt's ownership check and falls back to its own name in the temporary folder.
  QProcessEnvironment wrong = env;
  wrong.insert(QStringLiteral("XDG_RUNTIME_DIR"),
               QString::fromStdString(shared) + QStringLiteral("/runtime-") +
                   QString::fromLocal8Bit(::getpwuid(::geteuid())->pw_name));
  EXPECT_EQ(probeAsOther(wrong), 0);
  EndHolder(holder.get());
}

TEST(QtSingleApplication, LockPathIsPerUserWithoutUsableRuntimeFolder) {
  const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
  const QByteArray savedTmp = qgetenv("TMPDIR");
  // No XDG_RUNTIME_DIR, and the folder Qt would fall back to belongs to someone else
  // (planted in a shared temporary folder): Qt refuses it.
  const std::string tmp = qvtest::MakeTempDir("tmp");
  const std::string planted = tmp + "/runtime-" + ::getpwuid(::geteuid())->pw_name;
  ASSERT_EQ(::mkdir(planted.c_str(), 0700), 0);
  ASSERT_EQ(::chown(planted.c_str(), qvtest::UnprivilegedUid(), qvtest::UnprivilegedGid()), 0);
  qunsetenv("XDG_RUNTIME_DIR");
  qputenv("TMPDIR", QByteArray(tmp.c_str()));
  const QString path = QtSingleApplication::lockFilePath(QStringLiteral("launcher"));
  qputenv("XDG_RUNTIME_DIR", savedRuntime);
  qputenv("TMPDIR", savedTmp);
  EXPECT_EQ(path.toStdString(), tmp + "/launcher-" + std::to_string(::geteuid()) + ".single.lock");
  EXPECT_EQ(QtSingleApplication::lockFilePath(QStringLiteral("launcher")).toStdString(),
            (QString::fromLocal8Bit(savedRuntime) + QStringLiteral("/launcher.single.lock")).toStdString());
}
