#include "update/support_log.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "util/file_system.h"

namespace tsl {

namespace {

std::string utc_now() {
  std::tm parts{};
  utc_calendar_time(std::time(nullptr), parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC ", &parts);
  return text;
}

constexpr size_t most_waiting = 64u << 10;
constexpr int64_t longest_wait_ms = 1000;

int64_t steady_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string stamped(const std::string& text) {
  std::string line = utc_now();
  line.reserve(line.size() + text.size() + 2);
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    line += (u < 0x20 || u == 0x7f) ? '?' : c;
  }
  line += line_end;
  return line;
}

}  // namespace

support_log::~support_log() { flush(); }

void support_log::open(const std::wstring& path) {
  mutex_lock hold(lock_);
  write_waiting();
  path_ = path;
}

void support_log::write(const std::string& text) { append(stamped(text), false); }

void support_log::write_later(const std::string& text) { append(stamped(text), true); }

void support_log::flush() {
  mutex_lock hold(lock_);
  write_waiting();
}

void support_log::append(std::string line, bool may_wait) {
  const int64_t now = steady_ms();
  mutex_lock hold(lock_);
  if (path_.empty()) return;
  if (waiting_.empty()) waiting_since_ms_ = now;
  waiting_ += line;
  if (may_wait && waiting_.size() < most_waiting && now - waiting_since_ms_ < longest_wait_ms) {
    return;
  }
  write_waiting();
}

void support_log::write_waiting() {
  std::string lines;
  lines.swap(waiting_);
  if (lines.empty() || path_.empty()) return;
  uint64_t size = 0, time = 0;
  bool start_anew = false;
  if (query_file_info(path_, size, time) && size > 0 && size + lines.size() > rotate_at_) {
    // An old copy that cannot be replaced (held open, a folder of that
    // name) must not let the log grow without bound: it begins anew.
    start_anew = !move_file_replace(path_, path_ + L".old");
  }
  std::FILE* file = open_c_file(path_, start_anew ? "wb" : "ab");
  if (!file) return;
  std::fwrite(lines.data(), 1, lines.size(), file);
  std::fclose(file);
}

}  // namespace tsl
