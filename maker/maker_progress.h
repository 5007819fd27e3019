// The status line of a maker run on a terminal: files and bytes done of the
// total, speed and time left. It lives on standard error and is wiped before
// every line of standard output and drawn again after, so the two never mix.
// Threading: one thread (the run's) at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace tsl {

struct progress_counts {
  uint64_t files_done = 0;
  uint64_t files = 0;
  uint64_t bytes_done = 0;
  uint64_t bytes = 0;
  // Of bytes_done, those packed or copied in this run: the speed counts only
  // these, as reused files cost no time.
  uint64_t bytes_worked = 0;
};

// "12/340 files, 1.23/20.48 GB, 3.8 MB/s, 1:23:45 left" (MB below a
// gigabyte); the speed and the time left once there is something to
// measure.
std::string progress_text(const progress_counts& counts, double seconds);

// Whether a progress line is on screen now. A message from another thread
// (the console control handler's) then starts on a line of its own.
bool progress_line_shown();

class progress_line {
 public:
  using writer = std::function<void(const std::string&)>;

  // Without a writer (standard error is no terminal) nothing is shown.
  explicit progress_line(writer status) : status_(std::move(status)) {}
  ~progress_line() { erase(); }
  progress_line(const progress_line&) = delete;
  progress_line& operator=(const progress_line&) = delete;

  void restart() { started_ = std::chrono::steady_clock::now(); }
  // Whether draw shows anything at all.
  bool active() const { return static_cast<bool>(status_); }
  void draw(const progress_counts& counts);
  void erase();

 private:
  writer status_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  size_t shown_ = 0;  // characters of the line on screen
};

}  // namespace tsl
