// Small program for the fct-qt tests: each mode builds its own application object, which
// the test processes (with their ready-made QApplication) cannot do.
//   probe          print "running=0|1" and exit
//   hold           print "running=..." then, if it got the lock, "held" and wait for
//                  standard input to close before exiting normally
//   hold-spawn     as hold, but first starts "sleep 300" detached (prints "child=PID")
//                  and lists the file descriptors a child inherits ("fd: TARGET")
//   dpi SHEET      print "dpi=FACTOR" and the scaled sheet ("sheet=...")
// FCT_QT_HELPER_PRIVATE_FOLDER names the folder for the lock without a runtime folder.
#include <QProcess>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "dpiinfo.h"
#include "qtsingleapplication.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  // Where the lock goes without a usable runtime folder, as the launcher sets it.
  if (const char* folder = std::getenv("FCT_QT_HELPER_PRIVATE_FOLDER")) {
    QtSingleApplication::setPrivateFolder(QString::fromLocal8Bit(folder));
  }
  QtSingleApplication app(argc, argv, true);

  if (mode == "dpi") {
    std::printf("dpi=%.4f\n", DPIinfo::getInstance()->getDPI());
    if (argc > 2)
      std::printf("sheet=%s\n",
                  qPrintable(DPIinfo::getInstance()->getScaledStyleSheet(QString::fromUtf8(argv[2]))));
    return 0;
  }

  std::printf("running=%d\n", app.isRunning() ? 1 : 0);
  std::fflush(stdout);
  if (mode == "probe" || app.isRunning()) return 0;

  if (mode == "hold-spawn") {
    qint64 pid = 0;
    QProcess::startDetached(QStringLiteral("sleep"), {QStringLiteral("300")}, QString(), &pid);
    std::printf("child=%lld\n", static_cast<long long>(pid));
    // What a started process inherits, seen from inside it.
    QProcess list;
    list.start(QStringLiteral("/bin/sh"),
               {QStringLiteral("-c"),
                QStringLiteral("for f in /proc/$$/fd/*; do echo \"fd: $(readlink $f)\"; done")});
    list.waitForFinished(10000);
    std::fputs(list.readAllStandardOutput().constData(), stdout);
  }
  std::printf("held\n");
  std::fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  return 0;
}
