#include "launcher/client_start.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/test_util.h"
#include "util/file_system.h"
#include "util/process.h"
#include "util/text.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace tsl {
namespace {

TEST(ClientStart, CommandLinePassesTheLaunchersArgumentsAsSplit) {
  EXPECT_EQ(client_command_line(L"C:\\g\\client\\Client.exe",
                                L"\"C:\\g\\TessalyReach.exe\" -noupdate foo"),
            L"\"C:\\g\\client\\Client.exe\" -noupdate foo");
  // Quotes are gone after splitting and nothing is quoted again.
  EXPECT_EQ(client_command_line(L"C:\\c.exe", L"launcher \"a b\""), L"\"C:\\c.exe\" a b");
  EXPECT_EQ(client_command_line(L"C:\\c.exe", L"launcher"), L"\"C:\\c.exe\"");
}

// Copies the stub client into a fresh game directory.
std::wstring install_stub(const test::scoped_temp_dir& dir) {
  std::wstring stub = join_path(test::test_binary_dir(), L"stub_client\\Client.exe");
  std::wstring client = dir / L"game dir\\client\\Client.exe";
  create_directories(directory_of(client));
  EXPECT_TRUE(copy_file_replace(stub, client)) << "stub client missing: " << wide_to_utf8(stub);
#ifndef _WIN32
  chmod(wide_to_utf8(replace_all(client, L"\\", L"/")).c_str(), 0755);
#endif
  return client;
}

nlohmann::json wait_for_record(const std::wstring& client) {
  std::wstring record = join_path(directory_of(client), L"client-record.jsonl");
  for (int i = 0; i < 400; ++i) {
    std::string text = test::read_file(record);
    if (!text.empty() && text.back() == '\n') return nlohmann::json::parse(text);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return nullptr;
}

TEST(ClientStart, StubClientSeesItsDirectoryAndEnvironment) {
  test::scoped_temp_dir dir;
  std::wstring client = install_stub(dir);
  ASSERT_TRUE(set_environment_variable(L"TSLLAUNCHER", L"true"));
  uint32_t error = 0;
  ASSERT_TRUE(start_process(client_command_line(client, L"launcher -noupdate \"a b\""),
                            directory_of(client), error));
  nlohmann::json record = wait_for_record(client);
  ASSERT_TRUE(record.is_object());
  EXPECT_EQ(record["args"], (nlohmann::json{"-noupdate", "a", "b"}));
  EXPECT_EQ(record["tsllauncher"], "true");
  std::wstring cwd = utf8_to_wide(record["cwd"].get<std::string>());
  EXPECT_TRUE(equals_ignore_case(replace_all(cwd, L"/", L"\\"),
                                 replace_all(directory_of(client), L"/", L"\\")))
      << wide_to_utf8(cwd);
  set_environment_variable(L"TSLLAUNCHER", L"");
}

TEST(ClientStart, MissingClientGivesTheSystemErrorCode) {
  test::scoped_temp_dir dir;
  uint32_t error = 0;
  EXPECT_FALSE(start_game_client(dir / L"client\\Client.exe", error));
  EXPECT_NE(error, 0u);  // a file-not-found or path-not-found code of the system
  EXPECT_EQ(format_wide(L"0x%08X", error).size(), 10u);
}

}  // namespace
}  // namespace tsl
