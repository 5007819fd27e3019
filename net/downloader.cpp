#include "net/downloader.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <type_traits>

#include "util/file_system.h"
#include "util/text.h"

namespace tsl {

namespace {

int64_t steady_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

downloader::downloader() {
  // libcurl takes callbacks through a variadic call that checks nothing; a
  // wrong signature would only show as a corrupt stack at run time.
  static_assert(std::is_same_v<decltype(&write_to_file), curl_write_callback>);
  static_assert(std::is_same_v<decltype(&discard_headers), curl_write_callback>);
  static_assert(std::is_same_v<decltype(&progress_function), curl_progress_callback>);
  // Lengths and counts past 4 GiB on the 32-bit build too.
  static_assert(sizeof(curl_off_t) == 8);
  handle_.add(CURLOPT_USERAGENT,
              "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:107.0) Gecko/20100101 Firefox/107.0");
  handle_.add(CURLOPT_VERBOSE, 0L);
  handle_.add(CURLOPT_IPRESOLVE, CURL_IPRESOLVE_WHATEVER);
  handle_.add(CURLOPT_FOLLOWLOCATION, 1L);
  handle_.add(CURLOPT_AUTOREFERER, 1L);
  handle_.add(CURLOPT_MAXREDIRS, 5L);
  handle_.add(CURLOPT_FAILONERROR, 1L);
  handle_.add(CURLOPT_NOPROGRESS, 0L);
  handle_.add(CURLOPT_PROGRESSFUNCTION, &progress_function);
  handle_.add(CURLOPT_PROGRESSDATA, static_cast<void*>(this));
  handle_.add(CURLOPT_CONNECTTIMEOUT, 30L);
  handle_.add(CURLOPT_LOW_SPEED_LIMIT, low_speed_limit);
  handle_.add(CURLOPT_LOW_SPEED_TIME, low_speed_time);
  // libcurl's default 16 KiB receive buffer costs a system call, a poll and
  // a progress report per 16 KiB; the curl tool's 100 KiB is what keeps a
  // large file at loopback speed.
  handle_.add(CURLOPT_BUFFERSIZE, receive_buffer_size);
  // Nothing reads the response headers; the handle's default would print
  // them on standard output, which a GUI program does not have.
  handle_.add(CURLOPT_HEADERFUNCTION, &discard_headers);
  handle_.add(CURLOPT_HEADERDATA, static_cast<void*>(nullptr));
}

downloader::~downloader() { callback_ = nullptr; }

bool downloader::download(const std::string& url, const std::wstring& path, uint64_t byte_limit) {
  mutex_lock hold(transfer_lock_);
  bool range_refused = false;
  resumed_from_ = 0;
  return transfer(url, path, byte_limit, 0, false, range_refused);
}

bool downloader::download_resumable(const std::string& url, const std::wstring& path,
                                    uint64_t byte_limit) {
  mutex_lock hold(transfer_lock_);
  uint64_t kept = 0, time = 0;
  if (!query_file_info(path, kept, time)) kept = 0;
  // What cannot be the start of a good file is not worth continuing.
  if (kept >= byte_limit) {
    delete_file(path);
    kept = 0;
  }
  resumed_from_ = kept;
  bool range_refused = false;
  if (transfer(url, path, byte_limit, kept, true, range_refused)) return true;
  if (!range_refused) return false;
  resumed_from_ = 0;
  return transfer(url, path, byte_limit, 0, true, range_refused);
}

uint64_t downloader::resumed_from() const {
  mutex_lock hold(transfer_lock_);
  return resumed_from_;
}

std::string downloader::last_error() const {
  mutex_lock hold(transfer_lock_);
  return last_error_;
}

bool downloader::over_limit() const {
  mutex_lock hold(transfer_lock_);
  return over_limit_;
}

bool downloader::transfer(const std::string& url, const std::wstring& path, uint64_t byte_limit,
                          uint64_t resume_from, bool keep_partial, bool& range_refused) {
  range_refused = false;
  errno = 0;
  sink out;
  out.limit = byte_limit;
  out.written = resume_from;
  out.file = open_c_file(path, resume_from ? "ab" : "wb");
  if (!out.file) {
    last_error_ = format_narrow("Open failed: %u", static_cast<unsigned>(errno));
    return false;
  }
  if (observer_.add) out.observer = &observer_;
  if (observer_.begin) observer_.begin(resume_from);

  start_time_ = steady_now_ns();
  last_reported_ = 0;
  callback_failed_ = false;
  over_limit_ = false;

  bool ok = false;
  bool write_failed = false;
  try {
    handle_.add(CURLOPT_WRITEFUNCTION, &write_to_file);
    handle_.add(CURLOPT_WRITEDATA, static_cast<void*>(&out));
    // Refuses an announced length above the limit before any byte arrives;
    // the write function counts the bodies that announce none. 0 is no limit.
    // A resumed transfer announces the length of the rest.
    handle_.add(CURLOPT_MAXFILESIZE_LARGE, byte_limit == no_byte_limit
                                               ? curl_off_t{0}
                                               : static_cast<curl_off_t>(std::min<uint64_t>(
                                                     byte_limit - resume_from, INT64_MAX)));
    // libcurl itself refuses an answer that is not the asked rest
    // (CURLE_RANGE_ERROR) before it hands over a byte of it.
    handle_.add(CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(resume_from));
    handle_.add(CURLOPT_URL, url);
    handle_.perform();
    ok = true;
  } catch (const curl_easy_exception& e) {
    long status = 0;
    curl_easy_getinfo(handle_.get(), CURLINFO_RESPONSE_CODE, &status);
    if (resume_from && (e.code() == CURLE_RANGE_ERROR || status == 416)) range_refused = true;
    // libcurl weighs an announced length before the status: an error page
    // longer than the file is the host's error all the same.
    const bool error_status = status >= 400;
    if (!error_status && (out.over_limit || e.code() == CURLE_FILESIZE_EXCEEDED)) {
      // The kept part and the rest are more than the file may be: the kept
      // part is not the start of this file.
      range_refused = resume_from != 0;
      over_limit_ = true;
      last_error_ = format_narrow("Larger than the expected %llu bytes",
                                  static_cast<unsigned long long>(byte_limit));
    } else {
      write_failed = e.code() == CURLE_WRITE_ERROR;
      // A callback that threw aborted the transfer on its behalf: code 42,
      // like any other abort.
      const CURLcode code = callback_failed_ ? CURLE_ABORTED_BY_CALLBACK
                            : error_status   ? CURLE_HTTP_RETURNED_ERROR
                                             : e.code();
      last_error_ = format_narrow("CURL error: %u", static_cast<unsigned>(code));
    }
  } catch (const std::exception& e) {
    last_error_ = std::string("Transfer failed: ") + e.what();
  } catch (...) {
    last_error_ = "Transfer failed";
  }
  // The handle must not keep a pointer to the closed file, nor ask the next
  // transfer for a range.
  curl_easy_setopt(handle_.get(), CURLOPT_WRITEDATA, static_cast<void*>(nullptr));
  curl_easy_setopt(handle_.get(), CURLOPT_RESUME_FROM_LARGE, curl_off_t{0});

  // The last buffered bytes reach the disk only here; a file that could not
  // be completed is a failure, not a success.
  errno = 0;
  if (std::fclose(out.file) != 0) {
    if (ok) last_error_ = format_narrow("Write failed: %u", static_cast<unsigned>(errno));
    ok = false;
    write_failed = true;
  }
  // What arrived before a dropped connection or an abort is the true start
  // of the file and is kept; bytes that may not have reached the disk, or
  // more than the file may hold, are not.
  if (!ok && (!keep_partial || write_failed || over_limit_ || range_refused)) delete_file(path);
  return ok;
}

size_t downloader::write_to_file(char* bytes, size_t size, size_t count, void* target) {
  sink* out = static_cast<sink*>(target);
  const uint64_t n = static_cast<uint64_t>(size) * count;
  if (n > out->limit - out->written) {
    // Fewer bytes taken than offered: libcurl ends the transfer.
    out->over_limit = true;
    return 0;
  }
  out->written += n;
  const size_t written = std::fwrite(bytes, 1, n, out->file);
  // A short write fails the transfer: what the observer saw is then moot.
  if (written == n && out->observer) {
    out->observer->add(reinterpret_cast<const uint8_t*>(bytes), written);
  }
  return written;
}

size_t downloader::discard_headers(char*, size_t size, size_t count, void*) { return size * count; }

int downloader::progress_function(void* self, double total, double received, double, double) {
  downloader* d = static_cast<downloader*>(self);
  if (!d) return 0;
  // libcurl calls this inside the transfer, which holds the lock.
  d->transfer_lock_.assert_held();
  if (d->abort_check_) {
    try {
      if (d->abort_check_()) return 1;
    } catch (...) {
      d->callback_failed_ = true;
      return 1;
    }
  }
  if (received == 0 || total == 0 || received - d->last_reported_ < 1024) return 0;

  d->last_reported_ = received;
  double fraction = received / total;

  int64_t elapsed_ms = (steady_now_ns() - d->start_time_) / 1000000;
  // Reports can come within the first millisecond on loopback; the speed
  // would then be infinite.
  if (elapsed_ms < 1) elapsed_ms = 1;
  float elapsed = static_cast<float>(elapsed_ms) / 1000;
  double speed = received / elapsed;
  d->smoothed_speed_ = d->smoothed_speed_ == 0 ? speed : 0.75 * d->smoothed_speed_ + 0.25 * speed;

  if (!d->callback_) return 0;
  // A copy, so that the callback may replace or clear itself while it runs.
  progress_callback callback = d->callback_;
  try {
    return callback(static_cast<int>(fraction * 100), (total - received) / d->smoothed_speed_,
                    speed, total, received);
  } catch (...) {
    // An exception must not unwind through libcurl; abort the transfer instead.
    d->callback_failed_ = true;
    return 1;
  }
}

}  // namespace tsl
