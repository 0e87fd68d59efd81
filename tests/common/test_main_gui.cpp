#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "test_env.h"

int main(int argc, char** argv) {
  qvtest::PrepareSandbox();
  qvtest::WatchTimeLimit(&argc, argv);
  // Widgets are real but never reach a display unless a test asks for one.
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  int rc;
  {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    rc = RUN_ALL_TESTS();
  }
  qvtest::RemoveSandbox();
  return rc;
}
