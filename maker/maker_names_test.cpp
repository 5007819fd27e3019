#include "maker/maker_names.h"

#include <gtest/gtest.h>

#include <string>

#include "util/text.h"

namespace tsl {
namespace {

TEST(MakerNames, WhatNoLauncherCanInstall) {
  for (const wchar_t* good : {L"Client.exe", L"\x0414\x0430\x043D\x043D\x044B\x0435 1.txt",
                              L"a#b%20c", L".hidden", L"cone.txt", L"comx.txt"}) {
    EXPECT_EQ(input_name_problem(good), L"") << wide_to_utf8(good);
  }
  for (const wchar_t* bad : {L"con", L"CON.txt", L"lpt1.log", L"nul .txt", L"a.", L"a ", L"a:b",
                             L"a?b", L"a*", L"a|b", L"a\"b", L"a<b", L"a>b", L"a\tb", L"..", L""}) {
    EXPECT_NE(input_name_problem(bad), L"") << wide_to_utf8(bad);
  }
  EXPECT_EQ(input_name_problem(std::wstring(255, L'x')), L"");
  EXPECT_NE(input_name_problem(std::wstring(256, L'x')), L"");

  // UTF-16 that has no UTF-8 form: the index could not name the file.
  std::wstring lone(L"a");
  lone += static_cast<wchar_t>(0xD800);
  if (sizeof(wchar_t) == 2) {
    EXPECT_EQ(input_name_problem(lone), L"name not valid Unicode");
    std::wstring pair(L"a");
    pair += static_cast<wchar_t>(0xD83D);
    pair += static_cast<wchar_t>(0xDE00);
    EXPECT_EQ(input_name_problem(pair), L"");
    std::wstring reversed(L"a");
    reversed += static_cast<wchar_t>(0xDE00);
    reversed += static_cast<wchar_t>(0xD83D);
    EXPECT_EQ(input_name_problem(reversed), L"name not valid Unicode");
  }
}

TEST(MakerNames, PosixNamesAndHowTheyArePrinted) {
  EXPECT_EQ(posix_name_problem("\xD0\x94\xD0\xB0.txt"), L"");
  EXPECT_EQ(posix_name_problem("\xF0\x9F\x98\x80.png"), L"");              // outside the BMP
  EXPECT_EQ(posix_name_problem("caf\xE9.txt"), L"name not valid UTF-8");   // Latin-1
  EXPECT_EQ(posix_name_problem("\xC0\xAF"), L"name not valid UTF-8");      // overlong '/'
  EXPECT_EQ(posix_name_problem("\xED\xA0\x80"), L"name not valid UTF-8");  // a surrogate
  EXPECT_EQ(posix_name_problem("a\\b.txt"), L"backslash in name");
  EXPECT_EQ(posix_name_problem("aux.dat"), L"reserved device name");
  // 128 characters of two UTF-8 bytes and two of four: 132 units, fine;
  // 200 characters of four bytes are 400 UTF-16 units, too long.
  std::string ok;
  for (int i = 0; i < 128; ++i) ok += "\xD0\x94";
  ok += "\xF0\x9F\x98\x80\xF0\x9F\x98\x80";
  EXPECT_EQ(posix_name_problem(ok), L"");
  std::string wide;
  for (int i = 0; i < 200; ++i) wide += "\xF0\x9F\x98\x80";
  EXPECT_EQ(posix_name_problem(wide), L"name longer than 255 characters");

  EXPECT_EQ(printable_name("caf\xE9.txt"), L"caf\\xE9.txt");
  EXPECT_EQ(printable_name("\xD0\x94\xFF"), L"\x0414\\xFF");
  EXPECT_EQ(printable_name("a\nb"), L"a\\x0Ab");
  EXPECT_EQ(bad_name_line(L"in\\a\nb", L"control character in name"),
            "!!! Name no launcher can install, left out: in\\a\\x0Ab (control character in "
            "name)\n");
}

TEST(MakerNames, CaseFoldingAsWindowsCompares) {
  EXPECT_EQ(windows_case_fold(L"Data\\Readme.TXT"), L"data\\readme.txt");
  // Cyrillic, Latin-1, Latin Extended-A, Greek, full-width: both forms meet.
  const std::wstring pairs[][2] = {
      {L"\x0414\x0410\x041D\x041D\x042B\x0415", L"\x0434\x0430\x043D\x043D\x044B\x0435"},
      {L"\x0401\x0416", L"\x0451\x0436"},
      {L"\x00C9T\x00C9", L"\x00E9t\x00E9"},
      {L"\x0104\x0141\x017B", L"\x0105\x0142\x017C"},
      {L"\x0178", L"\x00FF"},
      {L"\x0391\x03A9\x0386", L"\x03B1\x03C9\x03AC"},
      {L"\xFF21\xFF3A", L"\xFF41\xFF5A"},
  };
  for (const auto& p : pairs) {
    EXPECT_EQ(windows_case_fold(p[0]), windows_case_fold(p[1])) << wide_to_utf8(p[0]);
    EXPECT_EQ(windows_case_fold(p[1]), p[1]) << wide_to_utf8(p[1]);
  }
  // Not letters of one another.
  EXPECT_NE(windows_case_fold(L"\x00D7"), windows_case_fold(L"\x00F7"));
  EXPECT_EQ(windows_case_fold(L"\x00DF"), L"\x00DF");
}

TEST(MakerNames, ClaimsOfPublishedNames) {
  published_names names;
  EXPECT_EQ(names.claim(L"data\\a.txt", L"in\\Data\\A.txt"), L"");
  // Another letter case of the same path, ASCII or not.
  EXPECT_EQ(names.claim(L"data\\a.txt", L"in\\data\\a.txt"), L"in\\Data\\A.txt");
  EXPECT_EQ(names.claim(L"\x0434\\b", L"in\\\x0434\\b"), L"");
  EXPECT_EQ(names.claim(L"\x0414\\b", L"in\\\x0414\\b"), L"in\\\x0434\\b");

  // A file beside the packed form of another, in either order.
  EXPECT_EQ(names.claim(L"x", L"in\\x"), L"");
  EXPECT_EQ(names.claim(L"x.lzma2", L"in\\x.lzma2"), L"in\\x");
  EXPECT_EQ(names.claim(L"y.lzma2", L"in\\y.lzma2"), L"");
  EXPECT_EQ(names.claim(L"y", L"in\\y"), L"in\\y.lzma2");
  EXPECT_EQ(names.claim(L"y.lzma2.lzma2", L"in\\y.lzma2.lzma2"), L"in\\y.lzma2");

  // The update index lies in the same directory as the files.
  EXPECT_EQ(names.claim(L"index.json", L"in\\index.json"), L"the update index");
  EXPECT_EQ(names.claim(L"index.json.lzma2", L"in\\Index.JSON.lzma2"), L"the update index");
  EXPECT_EQ(names.claim(L"data\\index.json", L"in\\data\\index.json"), L"");
  // A refused name claims nothing: the file that was there first stays.
  EXPECT_EQ(names.claim(L"x.lzma2", L"in\\other"), L"in\\x");

  // Chunk maps lie beside the files, and index.json.sig beside the index.
  EXPECT_EQ(names.claim(L"x.chunkmap", L"in\\x.chunkmap"), L"in\\x");
  EXPECT_EQ(names.claim(L"x.lzma2.chunkmap", L"in\\x.lzma2.chunkmap"), L"in\\x");
  EXPECT_EQ(names.claim(L"z.chunkmap", L"in\\z.chunkmap"), L"");
  EXPECT_EQ(names.claim(L"z", L"in\\z"), L"in\\z.chunkmap");
  EXPECT_EQ(names.claim(L"index.json.sig", L"in\\index.json.sig"), L"the update index");
  // A published file where another file needs a directory, either way.
  EXPECT_EQ(names.claim(L"x.lzma2\\y", L"in\\x.lzma2\\y"), L"in\\x");
  EXPECT_EQ(names.claim(L"w.lzma2\\y", L"in\\w.lzma2\\y"), L"");
  EXPECT_EQ(names.claim(L"W", L"in\\W"), L"in\\w.lzma2\\y");
  EXPECT_EQ(names.claim(L"w.lzma2\\z", L"in\\w.lzma2\\z"), L"");

  EXPECT_EQ(name_collision_line(L"in\\data\\a.txt", L"in\\Data\\A.txt"),
            "!!! Name collision, left out: in\\data\\a.txt (same published name as "
            "in\\Data\\A.txt)\n");
}

}  // namespace
}  // namespace tsl
