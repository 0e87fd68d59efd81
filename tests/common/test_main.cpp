#include <gtest/gtest.h>

#include "test_env.h"

int main(int argc, char** argv) {
  qvtest::PrepareSandbox();
  qvtest::WatchTimeLimit(&argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();
  qvtest::RemoveSandbox();
  return rc;
}
