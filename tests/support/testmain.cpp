// The main of the GoogleTest suites whose tests start threads that send requests: libcurl is
// set up first, as the program's main does it.

#include <gtest/gtest.h>

#include "portal/curlglobal.h"
#include "platform/platform.h"

namespace {
int RunTests(int argc, char** argv) {
  const CurlGlobal curl;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
}  // namespace

int main(int argc, char** argv) { EndProcess(RunTests(argc, argv)); }
