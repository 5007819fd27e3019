#include "net/system_proxy.h"

#include <windows.h>
#include <wincred.h>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <vector>

#include "net/system_proxy_test_util.h"
#include "tests/http_test_server.h"
#include "util/text.h"

namespace tsl {
namespace {

const wchar_t internet_settings[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const wchar_t connections[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// The flags of DefaultConnectionSettings, as the Internet Options dialog sets them.
constexpr DWORD direct = 1, manual_proxy = 2, pac_script = 4;

// Writes the user's proxy settings where the Internet Options dialog keeps
// them: the Connections blob, which WinHTTP reads (Wine's only that), and the
// plain values beside it. Puts back what was there when it goes, also when
// the test fails; a key it made is removed again.
class scoped_proxy_settings {
 public:
  scoped_proxy_settings(DWORD flags, const std::string& proxy, const std::string& bypass,
                        const std::string& pac_url) {
    std::vector<BYTE> blob;
    auto put_dword = [&](DWORD value) {
      for (int i = 0; i < 4; ++i) blob.push_back(static_cast<BYTE>(value >> (8 * i)));
    };
    auto put_text = [&](const std::string& text) {
      put_dword(static_cast<DWORD>(text.size()));
      blob.insert(blob.end(), text.begin(), text.end());
    };
    put_dword(0x46);  // the layout's version
    put_dword(0);     // a change counter
    put_dword(flags);
    put_text(proxy);
    put_text(bypass);
    put_text(pac_url);
    blob.resize(blob.size() + 32, 0);
    set(connections, L"DefaultConnectionSettings", REG_BINARY, blob);
    set_dword(L"ProxyEnable", (flags & manual_proxy) ? 1 : 0);
    set_text(L"ProxyServer", proxy);
    set_text(L"ProxyOverride", bypass);
    set_text(L"AutoConfigURL", (flags & pac_script) ? pac_url : "");
  }
  ~scoped_proxy_settings() {
    for (auto value = saved_.rbegin(); value != saved_.rend(); ++value) {
      HKEY key;
      if (RegOpenKeyExW(HKEY_CURRENT_USER, value->key, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        continue;
      }
      if (value->data) {
        RegSetValueExW(key, value->name, 0, value->type, value->data->data(),
                       static_cast<DWORD>(value->data->size()));
      } else {
        RegDeleteValueW(key, value->name);
      }
      RegCloseKey(key);
    }
    for (auto key = created_.rbegin(); key != created_.rend(); ++key) {
      RegDeleteKeyW(HKEY_CURRENT_USER, key->c_str());
    }
  }
  scoped_proxy_settings(const scoped_proxy_settings&) = delete;
  scoped_proxy_settings& operator=(const scoped_proxy_settings&) = delete;

 private:
  struct saved_value {
    const wchar_t* key;
    const wchar_t* name;
    DWORD type;
    std::optional<std::vector<BYTE>> data;  // none: there was no value
  };

  void set(const wchar_t* key_name, const wchar_t* name, DWORD type,
           const std::vector<BYTE>& data) {
    HKEY key;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key_name, 0, nullptr, 0,
                              KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    if (disposition == REG_CREATED_NEW_KEY) created_.push_back(key_name);
    saved_value old{key_name, name, REG_NONE, std::nullopt};
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &old.type, nullptr, &size) == ERROR_SUCCESS) {
      old.data.emplace(size);
      RegQueryValueExW(key, name, nullptr, &old.type, old.data->data(), &size);
      old.data->resize(size);
    }
    saved_.push_back(std::move(old));
    EXPECT_EQ(RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void set_dword(const wchar_t* name, DWORD value) {
    set(internet_settings, name, REG_DWORD,
        std::vector<BYTE>(reinterpret_cast<BYTE*>(&value), reinterpret_cast<BYTE*>(&value + 1)));
  }
  void set_text(const wchar_t* name, const std::string& text) {
    std::wstring wide = utf8_to_wide(text);
    const BYTE* bytes = reinterpret_cast<const BYTE*>(wide.c_str());
    set(internet_settings, name, REG_SZ,
        std::vector<BYTE>(bytes, bytes + (wide.size() + 1) * sizeof(wchar_t)));
  }

  std::vector<saved_value> saved_;
  std::vector<std::wstring> created_;
};

// A generic Credential Manager entry for one test, deleted when it goes.
class scoped_credential {
 public:
  scoped_credential(const std::string& target, const std::string& user, const std::string& password)
      : target_(utf8_to_wide(target)) {
    std::wstring wide_user = utf8_to_wide(user), secret = utf8_to_wide(password);
    CREDENTIALW credential = {};
    credential.Type = CRED_TYPE_GENERIC;
    credential.TargetName = &target_[0];
    credential.UserName = &wide_user[0];
    credential.CredentialBlob = reinterpret_cast<BYTE*>(&secret[0]);
    credential.CredentialBlobSize = static_cast<DWORD>(secret.size() * sizeof(wchar_t));
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    EXPECT_TRUE(CredWriteW(&credential, 0)) << GetLastError();
  }
  ~scoped_credential() { CredDeleteW(target_.c_str(), CRED_TYPE_GENERIC, 0); }
  scoped_credential(const scoped_credential&) = delete;
  scoped_credential& operator=(const scoped_credential&) = delete;

 private:
  std::wstring target_;
};

// Clears the proxy variables (which would come first) for one test, sets
// `name` when given, and puts back what was there.
class scoped_proxy_variables {
 public:
  explicit scoped_proxy_variables(const wchar_t* name = nullptr, const wchar_t* value = nullptr) {
    // Names are not case-sensitive here.
    for (const wchar_t* known : {L"http_proxy", L"https_proxy", L"all_proxy", L"no_proxy"}) {
      wchar_t old[4096];
      DWORD length = GetEnvironmentVariableW(known, old, 4096);
      saved_[known] = length > 0 && length < 4096 ? std::optional<std::wstring>(old) : std::nullopt;
      SetEnvironmentVariableW(known, nullptr);
    }
    if (name) SetEnvironmentVariableW(name, value);
  }
  ~scoped_proxy_variables() {
    for (const auto& [name, value] : saved_) {
      SetEnvironmentVariableW(name.c_str(), value ? value->c_str() : nullptr);
    }
  }

 private:
  std::map<std::wstring, std::optional<std::wstring>> saved_;
};

// Every test asks for hosts of its own: answers are kept per host for the process.

TEST(SystemProxyWindows, ManualSettingWithBypassListAndStoredCredentials) {
  scoped_proxy_variables no_variables;
  scoped_proxy_settings settings(direct | manual_proxy,
                                 "http=127.0.0.1:39001;https=127.0.0.1:39002",
                                 "<local>;*.inside.test", "");
  scoped_credential credential("127.0.0.1:39001", "reach", "word-1");

  proxy_choice choice = proxy_for_url("http://a.outside.test/x");
  EXPECT_EQ(choice.proxy, "http://127.0.0.1:39001");
  EXPECT_EQ(choice.source, "WinHTTP manual");
  EXPECT_EQ(choice.username, "reach");
  EXPECT_EQ(choice.password, "word-1");
  EXPECT_FALSE(choice.use_system_credentials);

  // No stored credentials for that proxy: the user's logon answers.
  choice = proxy_for_url("https://b.outside.test/x");
  EXPECT_EQ(choice.proxy, "http://127.0.0.1:39002");
  EXPECT_EQ(choice.username, "");
  EXPECT_TRUE(choice.use_system_credentials);

  for (const char* url : {"http://c.inside.test/x", "http://intranet/x"}) {
    choice = proxy_for_url(url);
    EXPECT_EQ(choice.proxy, "") << url;
    EXPECT_EQ(choice.source, "WinHTTP manual bypass list") << url;
  }
}

TEST(SystemProxyWindows, PacScriptDecidesAndOneThatFailsFallsBackToTheManualSetting) {
  scoped_proxy_variables no_variables;
  test::http_test_server server;
  server.set_body("/proxy.pac",
                  "function FindProxyForURL(url, host) {\n"
                  "  if (host == \"b.direct.test\") return \"DIRECT\";\n"
                  "  return \"PROXY 127.0.0.1:39003\";\n"
                  "}\n");
  {
    scoped_proxy_settings settings(direct | manual_proxy | pac_script, "127.0.0.1:39004", "",
                                   server.url("/proxy.pac"));
    proxy_choice choice = proxy_for_url("http://a.pac.test/x");
    EXPECT_EQ(choice.proxy, "http://127.0.0.1:39003");
    EXPECT_EQ(choice.source, "PAC " + server.url("/proxy.pac"));
    choice = proxy_for_url("http://b.direct.test/x");
    EXPECT_EQ(choice.proxy, "");
    EXPECT_EQ(choice.source, "PAC " + server.url("/proxy.pac"));
  }
  scoped_proxy_settings settings(direct | manual_proxy | pac_script, "127.0.0.1:39004", "",
                                 server.url("/missing.pac"));
  proxy_choice choice = proxy_for_url("http://c.pac.test/x");
  EXPECT_EQ(choice.proxy, "http://127.0.0.1:39004");
  EXPECT_EQ(choice.source, "WinHTTP manual");
}

TEST(SystemProxyWindows, VariablesComeBeforeTheSystemSettings) {
  scoped_proxy_variables variables(L"http_proxy", L"http://127.0.0.1:39006");
  scoped_proxy_settings settings(direct | manual_proxy, "127.0.0.1:39005", "", "");
  proxy_choice choice = proxy_for_url("http://a.variables.test/x");
  EXPECT_EQ(choice.proxy, "http://127.0.0.1:39006");
  EXPECT_EQ(choice.source, "environment http_proxy");
}

// A proxy that asks for the Windows logon is answered through SSPI.
TEST(SystemProxyWindows, LibcurlAnswersWithTheWindowsLogon) {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  const int needed = CURL_VERSION_SSPI | CURL_VERSION_NTLM | CURL_VERSION_SPNEGO;
  EXPECT_EQ(info->features & needed, needed);
}

TEST(SystemProxyWindows, FetchesThroughTheUsersProxy) {
  test::test_proxy proxy;
  if (!test::test_proxy_from_environment(proxy)) {
    GTEST_SKIP() << "no TSL_TEST_PROXY: tests/netem/system_proxy_e2e.py runs this with tinyproxy";
  }
  scoped_proxy_variables no_variables;
  scoped_proxy_settings settings(direct | manual_proxy, proxy.address, "", "");
  // Two servers, two hosts: the answer for the first is kept without credentials.
  test::http_test_server without_credentials, with_credentials;
  without_credentials.set_body("/through-proxy.txt", "carried by the proxy");
  with_credentials.set_body("/through-proxy.txt", "carried by the proxy");
  std::string body;
  // tinyproxy asks for Basic, which the logon cannot answer.
  EXPECT_TRUE(proxy_for_url(without_credentials.url("/x")).use_system_credentials);
  EXPECT_EQ(test::fetch_through_system_proxy(without_credentials.url("/through-proxy.txt"), body),
            407);

  scoped_credential credential(proxy.address, proxy.user, proxy.password);
  const std::string url = with_credentials.url("/through-proxy.txt");
  proxy_choice choice = proxy_for_url(url);
  EXPECT_EQ(choice.proxy, "http://" + proxy.address);
  EXPECT_EQ(choice.username, proxy.user);
  EXPECT_EQ(test::fetch_through_system_proxy(url, body), 200);
  EXPECT_EQ(body, "carried by the proxy");
}

}  // namespace
}  // namespace tsl
