#include "net/system_proxy.h"

#include "net/proxy_rules.h"

namespace tsl {

std::string proxy_for_log(const proxy_choice& choice) {
  // The proxy is stripped again: a caller may have made its own choice.
  std::string text = choice.proxy.empty() ? "direct" : without_user_info(choice.proxy);
  text += " (" + choice.source;
  if (!choice.proxy.empty()) {
    if (!choice.username.empty() || !choice.password.empty()) {
      text += ", stored credentials";
    } else if (choice.use_system_credentials) {
      text += ", the Windows logon";
    }
  }
  return text + ")";
}

void apply_proxy(CURL* easy, const proxy_choice& choice) {
  proxy_choice clean;
  if (!choice.proxy.empty() && !split_proxy(choice.proxy, 1080, clean)) clean.proxy = "";
  // Credentials never travel inside the proxy URL, where libcurl's own
  // messages could show them.
  curl_easy_setopt(easy, CURLOPT_PROXY, clean.proxy.c_str());
  curl_easy_setopt(easy, CURLOPT_NOPROXY, choice.no_proxy.c_str());
  // Nothing from a choice made for an earlier transfer stays on the handle.
  curl_easy_setopt(easy, CURLOPT_PROXYUSERPWD, static_cast<char*>(nullptr));
  curl_easy_setopt(easy, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
  const std::string& username = choice.username.empty() ? clean.username : choice.username;
  const std::string& password = choice.password.empty() ? clean.password : choice.password;
  if (clean.proxy.empty()) return;
  if (!username.empty() || !password.empty()) {
    curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, username.c_str());
    curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, password.c_str());
    // libcurl asks the proxy first and picks the strongest method it offers.
    curl_easy_setopt(easy, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY));
  } else if (choice.use_system_credentials) {
    // An empty user and password: SSPI answers with the user's own logon.
    curl_easy_setopt(easy, CURLOPT_PROXYUSERPWD, ":");
    curl_easy_setopt(easy, CURLOPT_PROXYAUTH,
                     static_cast<long>(CURLAUTH_NTLM | CURLAUTH_NEGOTIATE));
  }
}

}  // namespace tsl
