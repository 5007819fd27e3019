#include "update/support_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/test_util.h"
#include "util/file_system.h"

namespace tsl {
namespace {

std::vector<std::string> lines_of(const std::wstring& path) {
  std::vector<std::string> lines;
  std::istringstream in(test::read_file(path));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

TEST(SupportLog, AppendsStampedLinesAndNeutralisesControlCharacters) {
  test::scoped_temp_dir dir;
  const std::wstring path = dir / L"launcher.log";
  test::write_file(path, "earlier run\n");
  support_log log;
  log.write("dropped: no file yet");
  log.open(path);
  log.writef("Fetched %s (%u bytes)", "data\\a.bin", uint64_t{5000000000});
  // A name from the index that tries to start a line of its own.
  log.write("Failed x\r\n2026-01-01 00:00:00 UTC Client started");
  const auto lines = lines_of(path);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "earlier run");
  const std::regex stamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC (.*))");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[1], m, stamped)) << lines[1];
  EXPECT_EQ(m[1].str(), "Fetched data\\a.bin (5000000000 bytes)");
  ASSERT_TRUE(std::regex_match(lines[2], m, stamped)) << lines[2];
  EXPECT_EQ(m[1].str(), "Failed x??2026-01-01 00:00:00 UTC Client started");
}

TEST(SupportLog, ALaterLineWaitsForTheNextWriteButNeverGetsLost) {
  test::scoped_temp_dir dir;
  const std::wstring path = dir / L"launcher.log";
  {
    support_log log(path);
    log.write_later("fetched a");
    EXPECT_FALSE(file_exists(path));
    log.write("installed a");
    const auto lines = lines_of(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("UTC fetched a"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("UTC installed a"), std::string::npos) << lines[1];
    log.write_later("fetched b");
    log.flush();
    EXPECT_EQ(lines_of(path).size(), 3u);
    log.write_later("fetched c");
    // A log that moves elsewhere takes nothing of the old file's along.
    log.open(dir / L"other.log");
    EXPECT_EQ(lines_of(path).size(), 4u);
    log.write_later("fetched d");
  }
  EXPECT_EQ(lines_of(dir / L"other.log").size(), 1u);  // written when the log ended

  // No more than 64 KiB wait.
  support_log log(path);
  const std::string text(1000, 'x');
  for (int i = 0; i < 70; ++i) log.write_later(text);
  EXPECT_GE(get_file_size(path), 64u << 10);
}

TEST(SupportLog, RotatesKeepingOneOldCopy) {
  test::scoped_temp_dir dir;
  const std::wstring path = dir / L"launcher.log";
  support_log log(path, 200);
  const std::string text(60, 'a');  // 84 bytes with its stamp and line end
  for (int i = 0; i < 5; ++i) log.write(text + std::to_string(i));
  // 0 and 1 filled the first file, 2 and 3 the second; 4 starts a third.
  EXPECT_LE(get_file_size(path), 200u);
  EXPECT_LE(get_file_size(path + L".old"), 200u);
  const auto current = lines_of(path);
  const auto old = lines_of(path + L".old");
  ASSERT_EQ(current.size(), 1u);
  ASSERT_EQ(old.size(), 2u);
  EXPECT_NE(current[0].find(text + "4"), std::string::npos);
  EXPECT_NE(old[0].find(text + "2"), std::string::npos);
  EXPECT_FALSE(file_exists(path + L".old.old"));
  // A single line longer than the bound is still written, in a file of its own.
  log.write(std::string(300, 'b'));
  EXPECT_EQ(lines_of(path).size(), 1u);
}

TEST(SupportLog, StaysBoundedWhenTheOldCopyCannotBeReplaced) {
  test::scoped_temp_dir dir;
  const std::wstring path = dir / L"launcher.log";
  create_directories(path + L".old");  // nothing can take its name
  support_log log(path, 200);
  for (int i = 0; i < 50; ++i) log.write(std::string(60, 'a'));
  EXPECT_LE(get_file_size(path), 200u);
  EXPECT_EQ(lines_of(path).size(), 2u);
}

TEST(SupportLog, ThreadsNeverInterleaveAndAnUnwritableLogIsHarmless) {
  test::scoped_temp_dir dir;
  const std::wstring path = dir / L"launcher.log";
  support_log log(path);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 200; ++i) log.write(std::string(100, static_cast<char>('a' + t)));
    });
  }
  for (auto& thread : threads) thread.join();
  const auto lines = lines_of(path);
  ASSERT_EQ(lines.size(), 800u);
  for (const auto& line : lines) {
    const std::string body = line.substr(line.size() - 100);
    EXPECT_EQ(body, std::string(100, body[0]));
  }
  // The session directory is gone: the line is lost, the caller goes on.
  support_log missing(dir / L"gone\\launcher.log");
  missing.write("nothing");
  EXPECT_FALSE(path_exists(dir / L"gone"));
}

}  // namespace
}  // namespace tsl
