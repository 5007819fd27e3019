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

support_log::~support_log() {
  std::lock_guard<std::mutex> hold(lock_);
  close_file();
}

void support_log::close_file() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

void support_log::open(const std::wstring& path) {
  std::lock_guard<std::mutex> hold(lock_);
  close_file();
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
  uint64_t time = 0;
  if (!file_) {
    if (!query_file_info(path_, size_, time)) size_ = 0;
  }
  if (size_ > 0 && size_ + line.size() > rotate_at_) {
    // Closed first: an open file cannot be moved on Windows.
    close_file();
    move_file_replace(path_, path_ + L".old");
    if (!query_file_info(path_, size_, time)) size_ = 0;
  }
  if (!file_) file_ = open_c_file(path_, "ab");
  if (!file_) return;
  // Each line reaches the file at once: the log must tell what happened up
  // to a crash, and other programs may read it meanwhile.
  if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0) {
    close_file();  // tried again from the next line on
    return;
  }
  size_ += line.size();
}

}  // namespace tsl
