#include "util/text.h"

#include <gtest/gtest.h>

#include <cwchar>

namespace tsl {
namespace {

TEST(TextFormat, SameResultsOnBothRuntimes) {
  EXPECT_EQ(format_wide(L"Connection attempt #%u... ", 4u), L"Connection attempt #4... ");
  EXPECT_EQ(format_wide(L"%s (%S)", std::wstring(L"data\\a.bin"), std::string("CURL error: 22")),
            L"data\\a.bin (CURL error: 22)");
  EXPECT_EQ(format_wide(L"0x%08X", 2u), L"0x00000002");
  EXPECT_EQ(format_wide(L"Downloading file '%s' (%d%%)", L"a.pak", 42),
            L"Downloading file 'a.pak' (42%)");
  EXPECT_EQ(format_narrow("Open failed: %u", 2u), "Open failed: 2");
  EXPECT_EQ(format_narrow("!!! Error packing file: %S (Code: %d)\n", std::wstring(L"x"), -5),
            "!!! Error packing file: x (Code: -5)\n");
  EXPECT_EQ(format_narrow("%u", -1), "4294967295");
  EXPECT_EQ(format_narrow("%d", 4294967295u), "-1");
  EXPECT_EQ(format_narrow("%5d|%-5d|%05d", 42, 42, -42), "   42|42   |-0042");
  EXPECT_EQ(format_narrow("%x %X %llu", 255u, 255u, 18446744073709551615ull),
            "ff FF 18446744073709551615");
  EXPECT_EQ(format_narrow("%.2f", 3.14159), "3.14");
}

TEST(TextFormat, MissingArgumentsAndOddFormatsAreSafe) {
  EXPECT_EQ(format_narrow("a %s b %d"), "a  b ");
  EXPECT_EQ(format_narrow("100%"), "100");
  EXPECT_EQ(format_wide(nullptr), L"");
  std::wstring long_text(10000, L'x');
  EXPECT_EQ(format_wide(L"%s!", long_text).size(), 10001u);
}

TEST(TextConversion, RoundTripsAndReplacesMalformedInput) {
  std::wstring cyrillic = L"\x0417\x0430\x043f\x0443\x0441\x043a...";
  EXPECT_EQ(wide_to_utf8(cyrillic), "\xd0\x97\xd0\xb0\xd0\xbf\xd1\x83\xd1\x81\xd0\xba...");
  EXPECT_EQ(utf8_to_wide(wide_to_utf8(cyrillic)), cyrillic);
  std::wstring bad = utf8_to_wide(
      "a\xff"
      "b");
  ASSERT_EQ(bad.size(), 3u);
  EXPECT_EQ(bad[0], L'a');
  EXPECT_EQ(bad[1], L'\xFFFD');
  EXPECT_EQ(bad[2], L'b');
  EXPECT_EQ(utf8_to_wide(std::string("ab\0cd", 5)), L"ab");
  EXPECT_EQ(wide_to_utf8(std::wstring(L"ab\0cd", 5)), "ab");
}

TEST(TextCase, OnlyAsciiLettersFold) {
  EXPECT_TRUE(equals_ignore_case(std::wstring(L"-NoUpdate"), std::wstring(L"-noupdate")));
  EXPECT_FALSE(equals_ignore_case(std::wstring(L"\x0417"), std::wstring(L"\x0437")));
  EXPECT_FALSE(equals_ignore_case(std::string("abc"), std::string("abcd")));
  EXPECT_EQ(to_lower_ascii(std::wstring(L"Client\\GAME.exe")), L"client\\game.exe");
  EXPECT_TRUE(ends_with_ignore_case(L"client\\Client.EXE", L".exe"));
  EXPECT_TRUE(ends_with_ignore_case(L"x", L""));
  EXPECT_FALSE(ends_with_ignore_case(L"xe", L".exe"));
}

TEST(TextEditing, ReplaceTrimJoinSplit) {
  EXPECT_EQ(replace_all(L"aaaa", L"aa", L"a"), L"aa");
  EXPECT_EQ(replace_all(L"a b  c", L" ", L"%20"), L"a%20b%20%20c");
  EXPECT_EQ(replace_all(L"abc", L"", L"x"), L"abc");
  std::string s = " \v line \t\r\n";
  EXPECT_EQ(trim_spaces(s), "line");
  std::string high = "\xa0x\xa0";
  EXPECT_EQ(trim_spaces(high), "\xa0x\xa0");
  std::wstring w = L"  mid dle \n";
  EXPECT_EQ(trim_spaces(w), L"mid dle");
  EXPECT_EQ(join_strings({L"", L"a", L"", L"b"}, L"-"), L"a--b");
  EXPECT_EQ(split_path(L"a\\\\b"), (std::vector<std::wstring>{L"a", L"", L"b"}));
  EXPECT_EQ(split_path(L""), (std::vector<std::wstring>{L""}));
  EXPECT_EQ(split_path(L"\\a\\"), (std::vector<std::wstring>{L"", L"a", L""}));
  EXPECT_EQ(file_name_of(L"a/b\\c/d"), L"c/d");
  EXPECT_EQ(file_name_of(L"dir/x.bin"), L"x.bin");
  EXPECT_EQ(directory_of(L"Client.exe"), L"Client.exe");
  EXPECT_EQ(directory_of(L"C:\\games\\client\\Client.exe"), L"C:\\games\\client");
}

TEST(TextPaths, JoinPathKeepsOnlyBackslashRules) {
  EXPECT_EQ(join_path(L"C:\\games", L"client\\Client.exe"), L"C:\\games\\client\\Client.exe");
  EXPECT_EQ(join_path(L"C:\\games\\", L"x"), L"C:\\games\\x");
  EXPECT_EQ(join_path(L"C:/games/", L"x"), L"C:/games/\\x");
  EXPECT_EQ(join_path(L"C:\\games\\", L"\\x"), L"C:\\games\\\\x");
  EXPECT_EQ(join_path(L"d", L""), L"d\\");
  EXPECT_EQ(join_path(L"", L"x"), L"x");
}

TEST(TextPatterns, NormalizeAndWildcards) {
  EXPECT_EQ(normalize_path_pattern(L"  Data/Sub/File.TXT "), L"data\\sub/file.txt");
  EXPECT_TRUE(wildcard_match(L"*.dll", L"a.dll"));
  EXPECT_TRUE(wildcard_match(L"*.dll", L".dll"));
  EXPECT_TRUE(wildcard_match(L"a*", L"a"));
  EXPECT_FALSE(wildcard_match(L"a**", L"a"));
  EXPECT_TRUE(wildcard_match(L"a?c", L"abc"));
  EXPECT_FALSE(wildcard_match(L"a?c", L"ac"));
  EXPECT_TRUE(wildcard_match(L"*", L""));
  EXPECT_TRUE(wildcard_match(L"", L""));
  EXPECT_FALSE(wildcard_match(L"", L"a"));
  EXPECT_FALSE(wildcard_match(L"*.*", L"readme"));
  EXPECT_TRUE(wildcard_match(L"*a*b", L"xxaxxb"));
  // Many stars against a long text must finish quickly.
  std::wstring text(400, L'a');
  EXPECT_FALSE(wildcard_match(L"*a*a*a*a*a*a*a*a*a*a*b", text));
}

TEST(TextPatterns, MasksOfManyStarsNeitherRecurseNorExplode) {
  // A mask from a remote configuration may hold any number of stars; one
  // call level per star would exhaust the stack long before this.
  const std::wstring stars(200000, L'*');
  const std::wstring name(255, L'a');
  EXPECT_TRUE(wildcard_match(stars, name));
  EXPECT_FALSE(wildcard_match(stars + L"b", name));
  // A star that is not last never hands an empty rest to the mask.
  EXPECT_FALSE(wildcard_match(stars, L""));
  EXPECT_FALSE(wildcard_match(L"*?*a", L"a"));
  EXPECT_TRUE(wildcard_match(L"*?*a", L"xya"));
}

TEST(TextPatterns, PathsMatchPieceByPiece) {
  EXPECT_FALSE(path_matches_pattern(L"data\\*", L"data\\sub\\x.pak"));
  EXPECT_TRUE(path_matches_pattern(L"data\\*\\*.pak", L"data\\sub\\x.pak"));
  EXPECT_TRUE(path_matches_pattern(normalize_path_pattern(L"client\\*.exe"),
                                   normalize_path_pattern(L"client\\Client.exe")));
  EXPECT_FALSE(path_matches_pattern(L"client\\*.exe", L"client\\sub\\a.exe"));
  EXPECT_FALSE(path_matches_pattern(L"config\\*.*", L"config\\readme"));
  EXPECT_FALSE(
      path_matches_pattern(normalize_path_pattern(L"data/sub/x.bin"), L"data\\sub\\x.bin"));
  EXPECT_TRUE(path_matches_pattern(L"a\\\\b", L"a\\\\b"));
  EXPECT_TRUE(path_matches_pattern(L"a\\*\\b", L"a\\\\b"));
}

TEST(TextPatterns, SafeRelativePaths) {
  EXPECT_TRUE(is_safe_relative_path(L"client\\Client.exe"));
  EXPECT_TRUE(is_safe_relative_path(L"data/x..y/z"));
  EXPECT_TRUE(is_safe_relative_path(L"..data"));
  for (const wchar_t* bad :
       {L"", L"..", L"..\\x", L"a\\..\\..\\x", L"a/../x", L"\\x", L"/etc/passwd", L"C:\\x", L"c:x",
        L"\\\\server\\share\\x", L"\\\\?\\C:\\x", L"a\\.. \\x", L"a\\x:stream",
        // Aliases of another name, and names Windows maps to devices.
        L"a\\\\b", L"a\\.\\b", L"a\\", L"data\\x.", L"data\\x ", L"NUL", L"aux.txt",
        L"client\\Com1.dll", L"lpt9", L"con .log", L"CONOUT$", L"a<b", L"a|b", L"a?", L"a*",
        L"a\"b", L"tab\tname"}) {
    EXPECT_FALSE(is_safe_relative_path(bad)) << wide_to_utf8(bad);
  }
}

TEST(TextPaths, SuffixedNamesStayWithinTheNameLimit) {
  EXPECT_EQ(path_with_suffix(L"C:\\game\\data\\a.pak", L".temp"), L"C:\\game\\data\\a.pak.temp");
  EXPECT_EQ(path_with_suffix(L"a/b.bin", L".unp"), L"a/b.bin.unp");
  // The longest name a publisher may ship: with ".temp" it would be 257.
  const std::wstring dir = L"C:\\game\\data\\";
  const std::wstring long_name = std::wstring(248, L'n') + L".pak";
  const std::wstring fits = path_with_suffix(dir + std::wstring(250, L'n'), L".temp");
  EXPECT_EQ(fits, dir + std::wstring(250, L'n') + L".temp");  // exactly 255
  for (const wchar_t* suffix : {L".temp", L".lzma2", L".unp"}) {
    const std::wstring made = path_with_suffix(dir + long_name, suffix);
    const std::wstring name = made.substr(dir.size());
    EXPECT_EQ(made.substr(0, dir.size()), dir);
    EXPECT_EQ(windows_name_problem(name), L"") << wide_to_utf8(name);
    EXPECT_EQ(name.size(), 255u);
    EXPECT_EQ(name.substr(name.size() - wcslen(suffix)), suffix);
    EXPECT_EQ(name.substr(0, 200), long_name.substr(0, 200));
    // The same on every call, and another long name gets another name.
    EXPECT_EQ(path_with_suffix(dir + long_name, suffix), made);
    EXPECT_NE(path_with_suffix(dir + std::wstring(248, L'n') + L".pal", suffix), made);
  }
  // Counted in UTF-16 units, and a character outside the BMP is not split.
  std::string faces;
  for (int i = 0; i < 126; ++i) faces += "\xF0\x9F\x98\x80";
  const std::wstring made = path_with_suffix(utf8_to_wide(faces), L".temp");
  EXPECT_EQ(windows_name_problem(made), L"");
  EXPECT_EQ(wide_to_utf8(made).substr(0, 4 * 120), faces.substr(0, 4 * 120));
  EXPECT_EQ(utf8_to_wide(wide_to_utf8(made)), made);
}

TEST(TextPatterns, WindowsNameRules) {
  for (const wchar_t* good :
       {L"Client.exe", L"console.txt", L"nul1", L"com10", L"lpt", L"auxiliary", L"x..y", L"..data",
        L".hidden", L"\u043a\u0430\u0440\u0442\u0430"}) {
    EXPECT_EQ(windows_name_problem(good), L"") << wide_to_utf8(good);
  }
  EXPECT_EQ(windows_name_problem(L"Nul.tar.gz"), L"reserved device name");
  EXPECT_EQ(windows_name_problem(L"COM\u00b9"), L"reserved device name");
  EXPECT_EQ(windows_name_problem(L"x."), L"name ends in a dot or a blank");
  EXPECT_EQ(windows_name_problem(L"."), L"names a directory itself");
  EXPECT_EQ(windows_name_problem(std::wstring(1, wchar_t(0x1f))), L"control character in name");
  EXPECT_EQ(windows_name_problem(std::wstring(255, L'a')), L"");
  EXPECT_EQ(windows_name_problem(std::wstring(256, L'a')), L"name longer than 255 characters");
  // Counted in UTF-16 units on every build: 128 characters outside the BMP are 256 units.
  std::string faces;
  for (int i = 0; i < 128; ++i) faces += "\xF0\x9F\x98\x80";
  EXPECT_EQ(windows_name_problem(utf8_to_wide(faces)), L"name longer than 255 characters");
  EXPECT_EQ(windows_name_problem(utf8_to_wide(faces.substr(4))), L"");
}

}  // namespace
}  // namespace tsl
