#include "util/text.h"

namespace tsl {

const char line_end[] = "\n";

bool utc_calendar_time(std::time_t when, std::tm& parts) {
  return gmtime_r(&when, &parts) != nullptr;
}

// glibc's converters depend on the process locale; the program's texts are
// always UTF-8 outside and UTF-32 inside, so the codec is done here.
std::wstring utf8_to_wide(const std::string& text) {
  std::wstring out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size(), i = 0;
  while (i < n) {
    unsigned char c = s[i];
    if (c == 0) break;
    uint32_t cp;
    size_t len;
    if (c < 0x80) {
      cp = c;
      len = 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
      cp = c & 0x1F;
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      cp = c & 0x0F;
      len = 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      cp = c & 0x07;
      len = 4;
    } else {
      out += L'\xFFFD';
      ++i;
      continue;
    }
    size_t j = 1;
    for (; j < len; ++j) {
      if (i + j >= n || (s[i + j] & 0xC0) != 0x80) break;
      cp = (cp << 6) | (s[i + j] & 0x3F);
    }
    bool ok = j == len;
    if (ok) {
      // Reject overlong forms, surrogates and values past U+10FFFF.
      if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
          (cp >= 0xD800 && cp <= 0xDFFF)) {
        ok = false;
      }
    }
    if (!ok) {
      out += L'\xFFFD';
      i += j;
      continue;
    }
    out += static_cast<wchar_t>(cp);
    i += len;
  }
  return out;
}

std::string wide_to_narrow(const std::wstring& text, unsigned) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    uint32_t cp = static_cast<uint32_t>(wc);
    if (cp == 0) break;
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

}  // namespace tsl
