#include "update/support_log.h"

#include <cstdio>
#include <ctime>

#include "util/file_system.h"

namespace tsl {

namespace {

std::string utc_now() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
#ifdef _WIN32
  gmtime_s(&parts, &now);
#else
  gmtime_r(&now, &parts);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC ", &parts);
  return text;
}

}  // namespace

void support_log::open(const std::wstring& path) {
  std::lock_guard<std::mutex> hold(lock_);
  path_ = path;
}

void support_log::write(const std::string& text) {
  std::string line = utc_now();
  line.reserve(line.size() + text.size() + 2);
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    line += (u < 0x20 || u == 0x7f) ? '?' : c;
  }
#ifdef _WIN32
  line += "\r\n";
#else
  line += '\n';
#endif
  std::lock_guard<std::mutex> hold(lock_);
  if (path_.empty()) return;
  uint64_t size = 0, time = 0;
  if (query_file_info(path_, size, time) && size > 0 && size + line.size() > rotate_at_) {
    move_file_replace(path_, path_ + L".old");
  }
  std::FILE* file = open_c_file(path_, "ab");
  if (!file) return;
  std::fwrite(line.data(), 1, line.size(), file);
  std::fclose(file);
}

}  // namespace tsl
