// The support log: one line per event of a launcher run, in English, in
// "launcher.log" of the session directory, so that support can read what a
// player's launcher did long after its status line has vanished.
// Threading: write may be called from any thread; lines never interleave.
#pragma once

#include <cstdint>
#include <string>

#include "util/sync.h"
#include "util/text.h"

namespace tsl {

class support_log {
 public:
  // Once the file would grow past this, it becomes the one old copy
  // (`path` + ".old", replacing the previous one) and a new file begins.
  static constexpr uint64_t rotate_bytes = 1u << 20;

  support_log() = default;
  explicit support_log(std::wstring path, uint64_t rotate_at = rotate_bytes)
      : path_(std::move(path)), rotate_at_(rotate_at) {}
  support_log(const support_log&) = delete;
  support_log& operator=(const support_log&) = delete;

  // Lines go to `path` from now on; before it (or with an empty path) they
  // are dropped.
  void open(const std::wstring& path) EXCLUDES(lock_);

  // Appends "YYYY-MM-DD HH:MM:SS UTC " and `text` (UTF-8) as one line.
  // Control characters in `text` become '?', so that a name or error from a
  // server cannot forge lines. A log that cannot be written never fails
  // the run: the line is lost, nothing else.
  void write(const std::string& text) EXCLUDES(lock_);

  // The same with a format of util/text.h's format_narrow.
  template <typename... Args>
  void writef(const char* format, const Args&... args) {
    write(format_narrow(format, args...));
  }

  // A line stamped now that reaches the file with the next line written,
  // from any thread, or with flush(), saving an open of the file: for
  // routine lines that others soon follow. Once 64 KiB of lines wait, or
  // the oldest has waited a second, the next line writes them at once.
  void write_later(const std::string& text) EXCLUDES(lock_);
  // Writes what waits. The destructor does too.
  void flush() EXCLUDES(lock_);
  ~support_log();

 private:
  // Adds `line` to what waits; writes it all unless `may_wait`.
  void append(std::string line, bool may_wait) EXCLUDES(lock_);
  // Held while the file is written, so lines never interleave.
  void write_waiting() REQUIRES(lock_);

  mutex lock_;
  std::wstring path_ GUARDED_BY(lock_);
  std::string waiting_ GUARDED_BY(lock_);
  int64_t waiting_since_ms_ GUARDED_BY(lock_) = 0;
  uint64_t rotate_at_ = rotate_bytes;
};

}  // namespace tsl
