#include "net/system_proxy.h"

#include <windows.h>
#include <wincred.h>
#include <winhttp.h>

#include <atomic>
#include <cstring>
#include <map>

#include "net/proxy_rules.h"
#include "util/text.h"
#include "util/sync.h"

namespace tsl {

namespace {

// WinHTTP hands out its texts in GlobalAlloc'ed memory for the caller to free.
struct global_text {
  explicit global_text(wchar_t* text) : text(text) {}
  ~global_text() {
    if (text) GlobalFree(text);
  }
  global_text(const global_text&) = delete;
  global_text& operator=(const global_text&) = delete;
  std::string utf8() const { return text ? wide_to_utf8(text) : std::string(); }

  wchar_t* text;
};

struct winhttp_session {
  winhttp_session()
      : handle(WinHttpOpen(L"Tessaly Reach", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                           WINHTTP_NO_PROXY_BYPASS, 0)) {}
  ~winhttp_session() {
    if (handle) WinHttpCloseHandle(handle);
  }
  winhttp_session(const winhttp_session&) = delete;
  winhttp_session& operator=(const winhttp_session&) = delete;

  HINTERNET handle;
};

// Answers of the system for the hosts asked so far, and whether detection
// has failed: without a WPAD host each try can take seconds, so it is made
// once in a process, not once per host.
struct system_answers {
  mutex lock;
  std::map<std::string, proxy_choice> by_host GUARDED_BY(lock);
  std::atomic<bool> detection_failed{false};
};

system_answers& answers() {
  static system_answers once;
  return once;
}

std::string read_environment(const char* name) {
  std::wstring wide_name = utf8_to_wide(name);
  DWORD size = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (size == 0) return "";
  std::wstring value(size, L'\0');
  DWORD length = GetEnvironmentVariableW(wide_name.c_str(), &value[0], size);
  if (length == 0 || length >= size) return "";
  value.resize(length);
  return wide_to_utf8(value);
}

// One question to WinHTTP's auto-proxy: the PAC script at `pac_url`, or the
// one detection finds when it is null. False when there is no answer.
bool ask_auto_proxy(const std::string& url, const url_parts& target, const wchar_t* pac_url,
                    proxy_choice& choice) {
  winhttp_session session;
  if (!session.handle) return false;
  // A PAC host that does not answer must not hold the launcher for long.
  WinHttpSetTimeouts(session.handle, 5000, 5000, 10000, 10000);
  WINHTTP_AUTOPROXY_OPTIONS options = {};
  if (pac_url) {
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = pac_url;
  } else {
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  const std::wstring wide_url = utf8_to_wide(url);
  WINHTTP_PROXY_INFO info = {};
  BOOL found = WinHttpGetProxyForUrl(session.handle, wide_url.c_str(), &options, &info);
  if (!found && GetLastError() == ERROR_WINHTTP_LOGIN_FAILURE) {
    // The script's host wants the user's logon: sent only when asked for.
    options.fAutoLogonIfChallenged = TRUE;
    found = WinHttpGetProxyForUrl(session.handle, wide_url.c_str(), &options, &info);
  }
  if (!found) {
    if (!pac_url) answers().detection_failed = true;
    return false;
  }
  global_text proxy(info.lpszProxy), bypass(info.lpszProxyBypass);
  choice = proxy_choice();
  if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && !bypassed(bypass.utf8(), target)) {
    // A script may name several proxies; libcurl takes one.
    split_proxy(manual_proxy_for(proxy.utf8(), target.scheme), 80, choice);
  }
  return true;
}

// The user's settings in WinHTTP's order: detection, the PAC script, the
// manual proxy; each failure falls to the next, the last to direct.
proxy_choice ask_system(const std::string& url, const url_parts& target) {
  proxy_choice choice;
  choice.source = "none";
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings = {};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&settings)) return choice;
  global_text pac_url(settings.lpszAutoConfigUrl), manual(settings.lpszProxy),
      bypass(settings.lpszProxyBypass);
  if (settings.fAutoDetect && !answers().detection_failed &&
      ask_auto_proxy(url, target, nullptr, choice)) {
    choice.source = "auto-detect";
    return choice;
  }
  if (pac_url.text && ask_auto_proxy(url, target, pac_url.text, choice)) {
    choice.source = "PAC " + without_user_info(pac_url.utf8());
    return choice;
  }
  choice = proxy_choice();
  choice.source = "none";
  std::string entry = manual_proxy_for(manual.utf8(), target.scheme);
  if (entry.empty()) return choice;
  if (bypassed(bypass.utf8(), target)) {
    choice.source = "WinHTTP manual bypass list";
  } else if (split_proxy(entry, 80, choice)) {
    choice.source = "WinHTTP manual";
  }
  return choice;
}

// The user's own credentials for the proxy, as the Credential Manager keeps
// them under "host:port" or "host". Only generic entries hold a password a
// program may read; a domain entry is used by SSPI itself at the logon.
bool stored_credentials(const std::string& proxy, proxy_choice& choice) {
  url_parts where;
  if (!split_url(proxy, where)) return false;
  for (const std::string& name : {where.host + ":" + std::to_string(where.port), where.host}) {
    PCREDENTIALW credential = nullptr;
    if (!CredReadW(utf8_to_wide(name).c_str(), CRED_TYPE_GENERIC, 0, &credential)) continue;
    std::wstring secret(credential->CredentialBlobSize / sizeof(wchar_t), L'\0');
    if (!secret.empty()) std::memcpy(&secret[0], credential->CredentialBlob, secret.size() * 2);
    choice.username = credential->UserName ? wide_to_utf8(credential->UserName) : "";
    choice.password = wide_to_utf8(secret);
    SecureZeroMemory(&secret[0], secret.size() * sizeof(wchar_t));
    CredFree(credential);
    return true;
  }
  return false;
}

}  // namespace

proxy_choice proxy_for_url(const std::string& url) {
  proxy_choice choice;
  choice.source = "none";
  url_parts target;
  if (!split_url(url, target)) return choice;
  // Variables set for the launcher were set on purpose: they come first.
  if (proxy_from_environment(target, read_environment, choice)) return choice;
  const std::string key = target.scheme + "://" + target.host + ":" + std::to_string(target.port);
  system_answers& known = answers();
  {
    mutex_lock hold(known.lock);
    auto found = known.by_host.find(key);
    if (found != known.by_host.end()) return found->second;
  }
  // Asked without the lock, so other hosts need not wait for a slow script;
  // two threads that ask for one host at once get the same answer.
  choice = ask_system(url, target);
  if (!choice.proxy.empty() && choice.username.empty() && choice.password.empty() &&
      !stored_credentials(choice.proxy, choice)) {
    choice.use_system_credentials = true;
  }
  mutex_lock hold(known.lock);
  return known.by_host.emplace(key, choice).first->second;
}

}  // namespace tsl
