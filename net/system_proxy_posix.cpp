#include "net/system_proxy.h"

#include <cstdlib>

#include "net/proxy_rules.h"

namespace tsl {

// libcurl would read the variables by itself; reading them here as well lets
// the support log name the proxy, and keeps the password out of CURLOPT_PROXY.
proxy_choice proxy_for_url(const std::string& url) {
  proxy_choice choice;
  choice.source = "none";
  url_parts target;
  if (!split_url(url, target)) return choice;
  auto read = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value ? value : "");
  };
  proxy_from_environment(target, read, choice);
  return choice;
}

}  // namespace tsl
