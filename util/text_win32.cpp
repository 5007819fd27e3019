#include "util/text.h"

#include <windows.h>

namespace tsl {

const char line_end[] = "\r\n";

bool utc_calendar_time(std::time_t when, std::tm& parts) { return gmtime_s(&parts, &when) == 0; }

std::wstring utf8_to_wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  size_t zero = out.find(L'\0');
  if (zero != std::wstring::npos) out.resize(zero);
  return out;
}

std::string wide_to_narrow(const std::wstring& text, unsigned code_page) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                      nullptr);
  size_t zero = out.find('\0');
  if (zero != std::string::npos) out.resize(zero);
  return out;
}

}  // namespace tsl
