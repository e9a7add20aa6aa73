// The main of the test programs that start copies of themselves as workers:
// linked before GoogleTest's own main, it lets such a copy be the worker.
#include <gtest/gtest.h>

#include "tests/ui/test_worker.h"

int main(int argc, char** argv) {
  if (const auto worker_exit = cindral::testing::RunAsTestWorkerIfAsked()) return *worker_exit;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
