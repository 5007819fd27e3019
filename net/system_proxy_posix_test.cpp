#include "net/system_proxy.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>

#include "net/system_proxy_test_util.h"
#include "tests/http_test_server.h"

namespace tsl {
namespace {

// Sets the proxy variables for one test and puts back what was there.
class scoped_proxy_variables {
 public:
  explicit scoped_proxy_variables(const std::map<std::string, std::string>& values) {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      const char* value = std::getenv(name);
      saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
      unsetenv(name);
    }
    for (const auto& [name, value] : values) setenv(name.c_str(), value.c_str(), 1);
  }
  ~scoped_proxy_variables() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

TEST(SystemProxyPosix, FetchesThroughTheUsersProxy) {
  test::test_proxy proxy;
  if (!test::test_proxy_from_environment(proxy)) {
    GTEST_SKIP() << "no TSL_TEST_PROXY: tests/netem/system_proxy_e2e.py runs this with tinyproxy";
  }
  test::http_test_server server;
  server.set_body("/through-proxy.txt", "carried by the proxy");
  const std::string url = server.url("/through-proxy.txt");
  std::string body;
  {
    scoped_proxy_variables variables({{"http_proxy", "http://" + proxy.address}});
    EXPECT_EQ(test::fetch_through_system_proxy(url, body), 407);
  }
  scoped_proxy_variables variables(
      {{"http_proxy", "http://" + proxy.user + ":" + proxy.password + "@" + proxy.address}});
  proxy_choice choice = proxy_for_url(url);
  EXPECT_EQ(choice.proxy, "http://" + proxy.address);
  EXPECT_EQ(proxy_for_log(choice).find(proxy.password), std::string::npos);
  EXPECT_EQ(test::fetch_through_system_proxy(url, body), 200);
  EXPECT_EQ(body, "carried by the proxy");
}

}  // namespace
}  // namespace tsl
