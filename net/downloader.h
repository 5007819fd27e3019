// One HTTP GET of one URL into one file over a reused libcurl easy handle,
// with progress reports that can abort the transfer.
// Threading: a downloader belongs to one thread at a time. Concurrent
// download calls run one after the other under the transfer lock, which
// guards what a transfer works with and what it leaves for its accessors.
// The settings (callbacks, observer, abort check, handle options) are the
// owning thread's, set between transfers or from its own callbacks; those
// run on the thread that called download, with the lock held, so they must
// not ask the accessors.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "net/curl_easy.h"
#include "net/transfer.h"
#include "util/sync.h"

namespace tsl {

class downloader {
 public:
  // percent, seconds remaining, speed (bytes/s), total bytes, received bytes;
  // a non-zero result aborts the transfer.
  using progress_callback = std::function<int(int, double, double, double, double)>;

  static constexpr uint64_t no_byte_limit = tsl::no_byte_limit;

  downloader();  // throws curl_easy_exception
  virtual ~downloader();

  // Fetches `url` into `path`. False on failure: last_error() says why and no
  // partial file is left behind. A body of more than `byte_limit` bytes is a
  // failure, found as soon as the length is announced or the bytes arrive.
  bool download(const std::string& url, const std::wstring& path,
                uint64_t byte_limit = no_byte_limit) EXCLUDES(transfer_lock_);
  // The same, continuing what an earlier call left at `path` with a Range
  // request, and leaving what arrived when the transfer fails or is
  // aborted. A server that does not answer with the rest (a 200, a range
  // of other bytes, 416, more than the limit leaves room for) gets the whole
  // file asked again from its first byte in the same call. Only a body over
  // the limit from the first byte or a failed write removes the file. The
  // caller verifies the whole file.
  bool download_resumable(const std::string& url, const std::wstring& path,
                          uint64_t byte_limit = no_byte_limit) EXCLUDES(transfer_lock_);
  // Bytes the last transfer took over from an earlier one (0: from the start).
  uint64_t resumed_from() const EXCLUDES(transfer_lock_);

  std::string last_error() const EXCLUDES(transfer_lock_);
  // Whether the last transfer failed for a body above its byte limit.
  bool over_limit() const EXCLUDES(transfer_lock_);
  curl_easy& handle() { return handle_; }
  void set_progress_callback(progress_callback callback) { callback_ = std::move(callback); }
  void clear_progress_callback() { callback_ = nullptr; }
  // Sees the body as it goes into the file (transfer.h). Set between
  // transfers.
  using body_observer = tsl::body_observer;
  void set_body_observer(body_observer observer) { observer_ = std::move(observer); }
  // Asked at every progress call of libcurl, about once a second even while
  // nothing arrives and whether or not the length is known: true aborts the
  // transfer (code 42). Set between transfers.
  void set_abort_check(std::function<bool()> check) { abort_check_ = std::move(check); }

 private:
  bool transfer(const std::string& url, const std::wstring& path, uint64_t byte_limit,
                uint64_t resume_from, bool keep_partial, bool& range_refused)
      REQUIRES(transfer_lock_);
  static int progress_function(void* self, double total, double received, double, double);

  mutable mutex transfer_lock_;
  // Used by transfers under the lock, and by the owner through handle()
  // between them.
  curl_easy handle_;
  // What the current transfer works with.
  int64_t start_time_ GUARDED_BY(transfer_lock_) = 0;
  double smoothed_speed_ GUARDED_BY(transfer_lock_) = 0;
  double last_reported_ GUARDED_BY(transfer_lock_) = 0;
  // Set when the callback threw: the transfer was aborted on its behalf.
  bool callback_failed_ GUARDED_BY(transfer_lock_) = false;
  // What the last transfer left.
  std::string last_error_ GUARDED_BY(transfer_lock_);
  bool over_limit_ GUARDED_BY(transfer_lock_) = false;
  uint64_t resumed_from_ GUARDED_BY(transfer_lock_) = 0;
  // The owner's settings.
  progress_callback callback_;
  std::function<bool()> abort_check_;
  body_observer observer_;
};

}  // namespace tsl
