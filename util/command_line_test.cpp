#include "util/command_line.h"

#include <gtest/gtest.h>

namespace tsl {
namespace {

using args = std::vector<std::wstring>;

TEST(SplitCommandLine, BlanksQuotesAndBackslashes) {
  EXPECT_EQ(split_command_line(L"\"C:\\Games\\Tessaly Reach.exe\"  -noupdate foo"),
            (args{L"C:\\Games\\Tessaly Reach.exe", L"-noupdate", L"foo"}));
  EXPECT_EQ(split_command_line(L"a \"\" b"), (args{L"a", L"b"}));
  EXPECT_EQ(split_command_line(L"-no\"upd\"ate"), (args{L"-noupdate"}));
  EXPECT_EQ(split_command_line(L"a\tb"), (args{L"a\tb"}));
  EXPECT_EQ(split_command_line(L"C:\\dir\\x"), (args{L"C:dirx"}));
  EXPECT_EQ(split_command_line(L"say \\\"hi\\\""), (args{L"say", L"\"hi\""}));
  // A blank does not clear a pending backslash.
  EXPECT_EQ(split_command_line(L"a\\ \"b"), (args{L"a", L"\"b"}));
  EXPECT_EQ(split_command_line(L""), args{});
  EXPECT_EQ(split_command_line(L"   "), args{});
}

TEST(SplitCommandLine, QuoteArgumentRoundTrips) {
  args original{L"/opt/game/TessalyReach", L"a b", L"q\"uote", L"back\\slash", L"", L"-noupdate"};
  std::wstring line;
  for (const auto& a : original) line += quote_argument(a) + L" ";
  args expected = original;
  expected.erase(expected.begin() + 4);  // empty arguments vanish, as on Windows
  EXPECT_EQ(split_command_line(line), expected);
}

}  // namespace
}  // namespace tsl
