#include "update/staged_file.h"

#include <gtest/gtest.h>

#include "net/downloader.h"
#include "tests/http_test_server.h"
#include "tests/test_util.h"

namespace tsl {
namespace {

class StagedFileTest : public ::testing::Test {
 protected:
  // Declared before the downloader, so the server outlives its connection.
  test::http_test_server server;
  test::scoped_temp_dir dir;
  downloader fetcher;
  const std::wstring copy = dir / L"version.json";
  const std::string before = "{\"gameupdate\":7}\n";
};

TEST_F(StagedFileTest, WhatFailsOrIsRefusedLeavesTheCopyFromBefore) {
  test::write_file(copy, before);
  server.set_body("/bad", "{\"gameupdate\":");
  server.set_body("/deep", std::string(100, '[') + std::string(100, ']'));
  server.set_body("/big", std::string((1u << 20) + 1, ' '));
  struct {
    const char* path;
    fetch_status status;
    const char* why;
  } const cases[] = {{"/missing", fetch_status::not_delivered, "CURL error: 22"},
                     {"/bad", fetch_status::malformed, "not valid JSON"},
                     {"/deep", fetch_status::malformed, "nested deeper than 64 levels"},
                     {"/big", fetch_status::malformed, "larger than 1 MiB"}};
  for (const auto& c : cases) {
    {
      staged_file file(copy);
      json document = json{{"kept", true}};
      std::string why;
      EXPECT_EQ(fetch_json(fetcher, server.url(c.path), file, 1u << 20, document, why), c.status)
          << c.path;
      EXPECT_EQ(why, c.why) << c.path;
      EXPECT_EQ(document, (json{{"kept", true}})) << c.path;
    }
    EXPECT_EQ(test::read_file(copy), before) << c.path;
    EXPECT_EQ(list_files(dir.path(), false, L"*.*").size(), 1u) << c.path;  // no temporary left
  }
}

TEST_F(StagedFileTest, AFetchedDocumentTakesThePlaceOnlyWhenCommitted) {
  test::write_file(copy, before);
  // A leftover of a run that was killed midway is no obstacle.
  test::write_file(copy + L".part", "half a docu");
  server.set_body("/version.json", "{\"gameupdate\":8}\n");
  staged_file file(copy);
  json document;
  std::string why;
  ASSERT_EQ(fetch_json(fetcher, server.url("/version.json"), file, 1u << 20, document, why),
            fetch_status::fetched);
  EXPECT_EQ(document, (json{{"gameupdate", 8}}));
  EXPECT_EQ(test::read_file(copy), before);
  EXPECT_EQ(file.commit(), place_result::placed);
  EXPECT_EQ(test::read_file(copy), "{\"gameupdate\":8}\n");
  EXPECT_FALSE(file_exists(file.temporary()));
}

}  // namespace
}  // namespace tsl
