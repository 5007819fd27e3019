#include "launcher/switches.h"

#include <gtest/gtest.h>

#include "util/command_line.h"

namespace tsl {
namespace {

launcher_switches from(const std::wstring& command_line) {
  auto arguments = split_command_line(command_line);
  arguments.erase(arguments.begin());
  return match_switches(arguments);
}

TEST(Switches, MatchedWholeIgnoringAsciiCase) {
  EXPECT_TRUE(from(L"TessalyReach.exe -NOUPDATE").no_update);
  EXPECT_TRUE(from(L"TessalyReach.exe -NoUpdate").no_update);
  EXPECT_TRUE(from(L"TessalyReach.exe \"-noupdate\"").no_update);
  EXPECT_TRUE(from(L"TessalyReach.exe -no\"upd\"ate").no_update);
  for (const wchar_t* line : {L"x -noupdates", L"x noupdate", L"x /noupdate", L"x -noupdat"}) {
    EXPECT_FALSE(from(line).no_update) << line;
  }
  // The program path itself never counts as a switch.
  EXPECT_FALSE(from(L"-noupdate").no_update);
  launcher_switches both = from(L"x -patchmaker -noupdate -sleep -PatchMaker");
  EXPECT_TRUE(both.maker);
  EXPECT_TRUE(both.pause);
  EXPECT_TRUE(both.no_update);
  EXPECT_FALSE(both.verify);
  EXPECT_TRUE(from(L"x -VERIFY").verify);
  EXPECT_FALSE(from(L"x -verify=1").verify);
  EXPECT_FALSE(from(L"x -verify").no_update);
  launcher_switches capped = from(L"x -MaxRate=5120");
  EXPECT_TRUE(capped.max_rate_given);
  EXPECT_EQ(capped.max_rate_kib, 5120u);
  for (const wchar_t* line : {L"x -maxrate=", L"x -maxrate=5k", L"x -maxrate=99999999999",
                              L"x -maxrate", L"x -maxrate=-1"}) {
    EXPECT_FALSE(from(line).max_rate_given) << line;
  }
  launcher_switches sleep_only = from(L"x -sleep");
  EXPECT_FALSE(sleep_only.maker);
  EXPECT_TRUE(sleep_only.pause);
}

}  // namespace
}  // namespace tsl
