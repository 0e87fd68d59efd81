// Runs the launcher's service sequence, as the worker thread does, in a single-threaded
// process of its own, so that a tracer can count its system calls and kill it or fail
// it at any one of them.
//   sequence_helper USER_BASE ROOT LOG_FILE
// Its staging and ready copies are named after $QV_SEQUENCE_RUN ("run" when unset), so that
// a tracer knows their paths beforehand.
// Exit status 0: the sequence ended with the package installed or nothing to do; 1: the
// upgrade failed (the sequence still ran to its end); 2: bad arguments.
#include <QCoreApplication>

#include <cstdlib>
#include <fstream>
#include <string>

#include "linux/linux-service.h"
#include "package-upgrade.h"
#include "log.h"
#include "path_table.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  QCoreApplication app(argc, argv);
  svctest::FillPathTable(argv[1], argv[2]);
  const std::string log = argv[3];
  std::ofstream(log + ".levels") << "service_debug=7\nfile_op_debug=7\n";
  Logger::Initialize(Logger::FILE_LOGGER, log, log + ".levels", 50, Logger::ThreadSafe);

  const char* run = std::getenv("QV_SEQUENCE_RUN");
  SetRunSuffix(run != nullptr ? run : "run");
  LinuxService service;
  int rc = 0;
  for (int round = 1; round <= 3; ++round) {
    service.PreUpgrade();
    if (service.IsNeedUpgrade() && service.HandlePackageUpgrade() != 0) rc = 1;
    service.RemoveAgedFolders();
    service.PostUpgrade();
    if (!service.PackageChangedDuringRun()) break;
  }
  return rc;
}
