#include "net/proxy_rules.h"

#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <vector>

#include "util/text.h"

namespace tsl {

namespace {

struct url_deleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using url_handle = std::unique_ptr<CURLU, url_deleter>;

bool get_part(CURLU* url, CURLUPart what, unsigned flags, std::string& out) {
  char* text = nullptr;
  if (curl_url_get(url, what, &text, flags) != CURLUE_OK) return false;
  out = text;
  curl_free(text);
  return true;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Splits at any of `separators` and blanks; drops empty pieces.
std::vector<std::string> split_list(const std::string& text, const char* separators) {
  std::vector<std::string> pieces;
  std::string piece;
  for (char c : text) {
    if (is_blank(c) || std::string_view(separators).find(c) != std::string_view::npos) {
      if (!piece.empty()) pieces.push_back(std::move(piece));
      piece.clear();
    } else {
      piece += c;
    }
  }
  if (!piece.empty()) pieces.push_back(std::move(piece));
  return pieces;
}

// '*' matches any run of characters; both sides are lower case already.
bool glob_match(const std::string& pattern, const std::string& text) {
  size_t p = 0, t = 0, star = std::string::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::string without_brackets(std::string host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  return host;
}

// libcurl's reading of no_proxy: "*" for every host; otherwise names that
// match the host or one of its parent domains (a leading dot changes nothing).
bool no_proxy_names(const std::string& list, const std::string& host_in) {
  std::string host = without_brackets(host_in);
  for (std::string entry : split_list(to_lower_ascii(list), ",")) {
    if (entry == "*") return true;
    entry = without_brackets(entry);
    if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
    if (entry.empty()) continue;
    if (host == entry) return true;
    if (host.size() > entry.size() &&
        host.compare(host.size() - entry.size(), entry.size(), entry) == 0 &&
        host[host.size() - entry.size() - 1] == '.') {
      return true;
    }
  }
  return false;
}

}  // namespace

bool split_url(const std::string& url, url_parts& parts) {
  url_handle handle(curl_url());
  if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
    return false;
  std::string port;
  if (!get_part(handle.get(), CURLUPART_SCHEME, 0, parts.scheme) ||
      !get_part(handle.get(), CURLUPART_HOST, 0, parts.host) ||
      !get_part(handle.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT, port)) {
    return false;
  }
  parts.scheme = to_lower_ascii(parts.scheme);
  parts.host = to_lower_ascii(parts.host);
  parts.port = std::strtol(port.c_str(), nullptr, 10);
  return true;
}

bool split_proxy(const std::string& text_in, long default_port, proxy_choice& choice) {
  std::string text = text_in;
  trim_spaces(text);
  if (text.empty()) return false;
  // Without a scheme libcurl would guess one from the name ("ftp.corp").
  if (text.find("://") == std::string::npos) text = "http://" + text;
  url_handle handle(curl_url());
  if (!handle || curl_url_set(handle.get(), CURLUPART_URL, text.c_str(),
                              CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return false;
  }
  std::string scheme, host, port;
  if (!get_part(handle.get(), CURLUPART_SCHEME, 0, scheme) ||
      !get_part(handle.get(), CURLUPART_HOST, 0, host)) {
    return false;
  }
  scheme = to_lower_ascii(scheme);
  if (!get_part(handle.get(), CURLUPART_PORT, 0, port)) {
    port = std::to_string(scheme == "https" ? 443 : default_port);
  }
  std::string user, password;
  get_part(handle.get(), CURLUPART_USER, CURLU_URLDECODE, user);
  get_part(handle.get(), CURLUPART_PASSWORD, CURLU_URLDECODE, password);
  choice.proxy = scheme + "://" + to_lower_ascii(host) + ":" + port;
  choice.username = std::move(user);
  choice.password = std::move(password);
  return true;
}

std::string without_user_info(const std::string& url) {
  size_t start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  size_t end = url.find_first_of("/?#", start);
  if (end == std::string::npos) end = url.size();
  size_t at = url.rfind('@', end == 0 ? 0 : end - 1);
  if (at == std::string::npos || at < start || at >= end) return url;
  return url.substr(0, start) + url.substr(at + 1);
}

std::string manual_proxy_for(const std::string& setting, const std::string& scheme) {
  std::string common;
  for (const std::string& entry : split_list(setting, ";")) {
    size_t equals = entry.find('=');
    size_t scheme_end = entry.find("://");
    if (equals == std::string::npos || (scheme_end != std::string::npos && scheme_end < equals)) {
      if (common.empty()) common = entry;
    } else if (equals_ignore_case(entry.substr(0, equals), scheme) && equals + 1 < entry.size()) {
      return entry.substr(equals + 1);
    }
  }
  return common;
}

bool bypassed(const std::string& bypass_list, const url_parts& target) {
  const std::string with_port = target.host + ":" + std::to_string(target.port);
  for (std::string entry : split_list(to_lower_ascii(bypass_list), ";,")) {
    if (entry == "<local>") {
      if (!target.host.empty() && target.host.find('.') == std::string::npos &&
          target.host.front() != '[') {
        return true;
      }
      continue;
    }
    if (entry.front() == '<') continue;  // "<-loopback>" and the like name no host
    size_t scheme_end = entry.find("://");
    if (scheme_end != std::string::npos) entry.erase(0, scheme_end + 3);
    while (!entry.empty() && entry.back() == '/') entry.pop_back();
    if (glob_match(entry, target.host) || glob_match(entry, with_port)) return true;
  }
  return false;
}

bool proxy_from_environment(const url_parts& target,
                            const std::function<std::string(const char*)>& read,
                            proxy_choice& choice) {
  const char* used = nullptr;
  std::string value;
  auto first_of = [&](std::initializer_list<const char*> names) {
    for (const char* name : names) {
      value = read(name);
      if (!value.empty()) {
        used = name;
        return true;
      }
    }
    return false;
  };
  bool found = (target.scheme == "http" && first_of({"http_proxy", "HTTP_PROXY"})) ||
               (target.scheme == "https" && first_of({"https_proxy", "HTTPS_PROXY"})) ||
               first_of({"all_proxy", "ALL_PROXY"});
  if (!found) return false;
  choice = proxy_choice();
  std::string no_proxy = read("no_proxy");
  if (no_proxy.empty()) no_proxy = read("NO_PROXY");
  if (no_proxy_names(no_proxy, target.host)) {
    choice.source = "environment no_proxy";
    return true;
  }
  choice.source = std::string("environment ") + used;
  // libcurl's own default port for a proxy that names none.
  if (!split_proxy(value, 1080, choice)) {
    choice = proxy_choice();
    choice.source = std::string("environment ") + used + ", not a proxy URL";
    return true;
  }
  choice.no_proxy = no_proxy;
  return true;
}

}  // namespace tsl
