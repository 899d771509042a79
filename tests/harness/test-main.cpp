/* Shared main of the GoogleTest binaries: criticals are fatal unless a test
 * captures them with th::LogCapture. */
#include <gtest/gtest.h>
#include <glib.h>

int main(int argc, char **argv) {
  g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_FATAL_MASK));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
