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
  static_assert(std::is_same_v<decltype(&progress_function), curl_progress_callback>);
  set_download_options(handle_);
  handle_.add(CURLOPT_NOPROGRESS, 0L);
  handle_.add(CURLOPT_PROGRESSFUNCTION, &progress_function);
  handle_.add(CURLOPT_PROGRESSDATA, static_cast<void*>(this));
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
  file_transfer one;
  one.set_observer(&observer_);
  if (!one.begin(handle_.get(), {url, path, byte_limit, resume_from, keep_partial}, last_error_)) {
    return false;
  }
  start_time_ = steady_now_ns();
  last_reported_ = 0;
  callback_failed_ = false;
  CURLcode code = CURLE_OK;
  std::string other;
  try {
    handle_.perform();
  } catch (const curl_easy_exception& e) {
    code = e.code();
  } catch (const std::exception& e) {
    code = CURLE_FAILED_INIT;
    other = std::string("Transfer failed: ") + e.what();
  }
  const transfer_end end = one.finish(handle_.get(), code, callback_failed_);
  over_limit_ = end.over_limit;
  range_refused = end.range_refused;
  if (!end.ok) last_error_ = other.empty() ? end.error : other;
  return end.ok;
}

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
