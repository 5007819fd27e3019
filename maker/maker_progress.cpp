#include "maker/maker_progress.h"

#include <atomic>

#include "util/text.h"

namespace tsl {

namespace {

std::atomic<bool> line_on_screen{false};

std::string clock_text(double seconds) {
  if (seconds > 359999) return "99:59:59+";
  const unsigned s = static_cast<unsigned>(seconds + 0.5);
  if (s >= 3600) return format_narrow("%u:%02u:%02u", s / 3600, s / 60 % 60, s % 60);
  return format_narrow("%u:%02u", s / 60, s % 60);
}

}  // namespace

std::string progress_text(const progress_counts& c, double seconds) {
  // Gigabytes once there are some, else megabytes.
  const bool giga = c.bytes >= 1000000000;
  std::string text = format_narrow(
      giga ? "%llu/%llu files, %.2f/%.2f GB" : "%llu/%llu files, %.1f/%.1f MB",
      static_cast<unsigned long long>(c.files_done), static_cast<unsigned long long>(c.files),
      c.bytes_done / (giga ? 1e9 : 1e6), c.bytes / (giga ? 1e9 : 1e6));
  if (c.bytes_worked == 0 || seconds < 1) return text;
  const double rate = c.bytes_worked / seconds;
  const uint64_t left = c.bytes > c.bytes_done ? c.bytes - c.bytes_done : 0;
  return text + format_narrow(", %.1f MB/s, %s left", rate / 1e6, clock_text(left / rate));
}

void progress_line::draw(const progress_counts& counts) {
  if (!status_) return;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  std::string text = progress_text(counts, seconds);
  const size_t width = text.size();
  // Blanks over the rest of a longer line before.
  if (width < shown_) text.append(shown_ - width, ' ');
  status_("\r" + text);
  shown_ = width;
  line_on_screen = width > 0;
}

bool progress_line_shown() { return line_on_screen.load(); }

void progress_line::erase() {
  if (!status_ || shown_ == 0) return;
  status_("\r" + std::string(shown_, ' ') + "\r");
  shown_ = 0;
  line_on_screen = false;
}

}  // namespace tsl
