#include "launcher/launcher_settings.h"

#include <gtest/gtest.h>

namespace tsl {
namespace {

TEST(LauncherSettings, ReadsWhatItKnowsAndIgnoresTheRest) {
  const launcher_settings s = parse_launcher_settings(
      "# the household shares the link\r\n  MaxRate = 2048 \r\n; transfers = 3\n"
      "transfers=8\nunknown = 5\nmaxrate\n");
  EXPECT_EQ(s.max_rate_kib, 2048u);
  EXPECT_EQ(s.transfers, 8u);
  for (const char* bad : {"maxrate = -5", "maxrate = 5k", "maxrate = 99999999999", "transfers = 0",
                          "transfers = 65"}) {
    const launcher_settings d = parse_launcher_settings(bad);
    EXPECT_EQ(d.max_rate_kib, 0u) << bad;
    EXPECT_EQ(d.transfers, 0u) << bad;
  }
}

}  // namespace
}  // namespace tsl
