#include "tests/http_test_server.h"

#include <gtest/gtest.h>

#include "net/downloader.h"
#include "tests/test_util.h"
#include "util/file_system.h"

namespace tsl {
namespace test {
namespace {

TEST(HttpTestServerTest, FaultsApplyAsAskedAndTheDirectoryStaysClosed) {
  http_test_server server;
  scoped_temp_dir site, out;
  write_file(site / L"inner\\a.bin", "inside");
  write_file(out / L"secret.bin", "outside");
  server.serve_directory(site / L"inner", "/pub/");
  std::string body = random_bytes(5000, 1);
  body_options wrong;
  wrong.corrupt = true;
  server.set_body("/wrong", body, wrong);
  server.fail_next("/pub/a.bin", 2, 500);

  downloader fetcher;
  std::wstring path = out / L"got.bin";
  ASSERT_TRUE(fetcher.download(server.url("/wrong"), path));
  std::string got = read_file(path);
  ASSERT_EQ(got.size(), body.size());
  size_t differing = 0;
  for (size_t i = 0; i < body.size(); ++i) differing += got[i] != body[i];
  EXPECT_EQ(differing, 1u);

  EXPECT_FALSE(fetcher.download(server.url("/pub/a.bin"), path));
  EXPECT_FALSE(fetcher.download(server.url("/pub/a.bin"), path));
  ASSERT_TRUE(fetcher.download(server.url("/pub/a.bin"), path));
  EXPECT_EQ(read_file(path), "inside");
  EXPECT_FALSE(fetcher.download(server.url("/pub/../secret.bin"), path));
  EXPECT_FALSE(fetcher.download(server.url("/pub/%2e%2e/secret.bin"), path));

  EXPECT_EQ(server.request_count("/pub/a.bin"), 3u);
  server.clear_log();
  EXPECT_TRUE(server.requests().empty());
  EXPECT_EQ(server.connection_count(), 0u);
}

}  // namespace
}  // namespace test
}  // namespace tsl
