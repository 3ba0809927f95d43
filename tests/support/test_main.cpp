// The main of every test program: a private /tmp and loopback first, while
// the process has no other thread, then GoogleTest.
#include <gtest/gtest.h>

#include <cstring>

#include "private_tmp.hpp"

int main(int argc, char **argv) {
  bool listing = false;  // ctest's discovery only lists the names
  for (int i = 1; i < argc; ++i) listing = listing || strcmp(argv[i], "--gtest_list_tests") == 0;
  if (!listing) enter_private_tmp();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
