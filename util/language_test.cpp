#include "util/language.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

namespace tsl {
namespace {

TEST(Language, RussianOnlyForTheThreeFullIdentifiers) {
  for (uint16_t id : {1049, 1058, 1059}) EXPECT_TRUE(is_russian_language(id)) << id;
  for (uint16_t id : {1033, 1031, 2073, 0, 25, 1050}) EXPECT_FALSE(is_russian_language(id)) << id;
}

TEST(Language, LanguageIsReadOnceAndAgreesAcrossThreads) {
  std::vector<uint16_t> seen(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = system_language(); });
  }
  for (auto& t : threads) t.join();
  for (uint16_t id : seen) EXPECT_EQ(id, seen[0]);
  const localized_text sample{L"\x0417", L"S"};
  const wchar_t* before = pick_text(sample);
#ifndef _WIN32
  // A later change of the locale has no effect within the process.
  setenv("LC_ALL", is_russian_language(seen[0]) ? "en_US.UTF-8" : "ru_RU.UTF-8", 1);
#endif
  EXPECT_EQ(system_language(), seen[0]);
  EXPECT_EQ(pick_text(sample), before);
#ifndef _WIN32
  unsetenv("LC_ALL");
#endif
}

}  // namespace
}  // namespace tsl
