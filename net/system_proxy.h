// The proxy the user's system names for a URL, and the libcurl options that
// take it. Windows: the environment variables when set, else the user's
// settings as WinHTTP reads them (auto-detection, a PAC script, a manual
// proxy with its bypass list), with credentials from the Credential Manager
// or the user's own logon. Elsewhere: the environment variables.
// Threading: every function may be called from any thread at any time; the
// Windows answers are cached per scheme, host and port for the process.
#pragma once

#include <string>

#include "net/curl_easy.h"

namespace tsl {

struct proxy_choice {
  // "" = direct; else "scheme://host:port" for CURLOPT_PROXY, never with
  // user information in it.
  std::string proxy;
  // Where the choice came from, for the support log: "WinHTTP manual",
  // "WinHTTP manual bypass list", "PAC <url>", "auto-detect",
  // "environment <variable>" (e.g. "environment https_proxy"),
  // "environment no_proxy", "none".
  std::string source;
  // For CURLOPT_PROXYUSERNAME and CURLOPT_PROXYPASSWORD; never logged.
  std::string username, password;
  // No stored credentials: NTLM or Negotiate with the user's own logon
  // (Windows only).
  bool use_system_credentials = false;
  // For CURLOPT_NOPROXY: hosts that a redirect may reach directly (the
  // environment's no_proxy; empty for the system's settings).
  std::string no_proxy;
};

// The proxy for a transfer of `url` (http or https). May take seconds on
// Windows the first time a host is asked (PAC download, auto-detection);
// never throws. A URL that cannot be parsed goes direct.
proxy_choice proxy_for_url(const std::string& url);

// "<proxy> (<source>[, <kind of credentials>])" or "direct (<source>)":
// no user name, no password.
std::string proxy_for_log(const proxy_choice& choice);

// Sets CURLOPT_PROXY ("" for direct, so libcurl reads no variable of its
// own), CURLOPT_NOPROXY, and the proxy credentials and methods; clears the
// credentials an earlier choice left on a reused handle.
void apply_proxy(CURL* easy, const proxy_choice& choice);

}  // namespace tsl
