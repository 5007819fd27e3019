#include "launcher/launcher_settings.h"

#include "util/file_system.h"
#include "util/text.h"

namespace tsl {

namespace {
bool whole_number(const std::string& text, uint64_t most, uint64_t& value) {
  if (text.empty()) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
    if (n > most) return false;
  }
  value = n;
  return true;
}
}  // namespace

launcher_settings parse_launcher_settings(const std::string& text) {
  launcher_settings settings;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    trim_spaces(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string name = line.substr(0, equals), value = line.substr(equals + 1);
    trim_spaces(name);
    trim_spaces(value);
    name = to_lower_ascii(name);
    uint64_t n = 0;
    if (name == "maxrate" && whole_number(value, UINT32_MAX, n)) settings.max_rate_kib = n;
    if (name == "transfers" && whole_number(value, 64, n) && n >= 1) {
      settings.transfers = static_cast<uint32_t>(n);
    }
  }
  return settings;
}

launcher_settings read_launcher_settings(const std::wstring& path) {
  std::string text;
  // A settings file is a few lines; anything much larger is no such file.
  uint64_t size = 0, time = 0;
  if (!query_file_info(path, size, time) || size > (64u << 10) || !read_whole_file(path, text)) {
    return launcher_settings();
  }
  return parse_launcher_settings(text);
}

}  // namespace tsl
