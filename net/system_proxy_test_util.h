// For the tests of the system proxy on each platform: the live proxy that
// tests/netem/system_proxy_e2e.py starts, and one plain libcurl transfer
// through whatever proxy_for_url chooses.
#pragma once

#include <string>

namespace tsl {
namespace test {

// tinyproxy asking for Basic authentication, named by TSL_TEST_PROXY
// ("127.0.0.1:<port>"), TSL_TEST_PROXY_USER and TSL_TEST_PROXY_PASSWORD.
struct test_proxy {
  std::string address, user, password;
};
// False when the variables are not set: the live tests then skip.
bool test_proxy_from_environment(test_proxy& proxy);

// One GET of `url` through apply_proxy(proxy_for_url(url)): the HTTP status
// (407 when the proxy refused the credentials), -1 when the transfer failed.
long fetch_through_system_proxy(const std::string& url, std::string& body);

}  // namespace test
}  // namespace tsl
