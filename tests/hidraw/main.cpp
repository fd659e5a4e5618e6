// The emulated kernel works only with umockdev's preload library in the process: without it
// the tests would look at the machine's real devices. Listing the tests needs neither it nor a
// display.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
    std::fprintf(stderr, "%s: run under umockdev-wrapper (tests/hidraw/run_emulated.sh)\n",
                 argv[0]);
    return 1;
  }
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
