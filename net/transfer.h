// One HTTP GET of one URL into one file on one easy handle: opening the file,
// the options of this transfer, the bytes as they arrive, and the judgement
// of its end. The same whether the handle is driven alone (downloader) or
// beside others (transfer_set).
// Threading: one thread at a time per object.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "net/curl_easy.h"

namespace tsl {

class rate_limiter;

constexpr uint64_t no_byte_limit = UINT64_MAX;

// The most a connection may take to be made, for every transfer of the
// program.
constexpr long connect_timeout_seconds = 10;
// A transfer that moves fewer than this many bytes a second for so many
// seconds fails as a time-out (code 28), so a stalled host cannot hold a
// download for ever; owners may ask for a stricter floor.
constexpr long low_speed_limit = 1;
constexpr long low_speed_time = 60;
// Bytes per receive (CURLOPT_BUFFERSIZE), as the curl tool uses: libcurl's
// default 16 KiB costs a system call, a poll and a progress report per
// 16 KiB, and keeps a large file from loopback speed.
constexpr long receive_buffer_size = 100 * 1024;

// The options every download handle of the program has: the browser's
// user agent, redirects (5 at most), HTTP errors as failures, the connect
// time-out and the low-speed rule, the receive buffer, response headers
// read by nobody. Throws curl_easy_exception.
void set_download_options(curl_easy& handle);

// Sees the body as it goes into the file: `begin` at the start of each
// transfer with the bytes it continues after (0: the file starts anew),
// then every piece written, in order.
struct body_observer {
  std::function<void(uint64_t kept)> begin;
  std::function<void(const uint8_t* bytes, size_t n)> add;
};

struct transfer_spec {
  std::string url;
  std::wstring path;
  // A body of more bytes fails, found as soon as the length is announced or
  // the bytes arrive.
  uint64_t byte_limit = no_byte_limit;
  // Continue the first `resume_from` bytes that `path` holds (HTTP Range).
  uint64_t resume_from = 0;
  // Leave what arrived when the transfer fails or is aborted.
  bool keep_partial = false;
  // Ask for bytes [range_first, range_first + range_length) of the URL only
  // (0: the whole body). Anything but a 206 with exactly those bytes fails
  // as range_refused, and the byte limit is the range's length.
  uint64_t range_first = 0;
  uint64_t range_length = 0;
};

// How a transfer ended.
struct transfer_end {
  bool ok = false;
  // The host would not continue (a 200, a range of other bytes, 416, more
  // than the limit leaves room for): the file is to be asked again whole.
  bool range_refused = false;
  bool over_limit = false;  // the body was larger than the byte limit
  std::string error;        // "CURL error: %u", "Open failed: %u", ...
};

class file_transfer {
 public:
  file_transfer() = default;
  ~file_transfer();  // closes a file still open
  file_transfer(const file_transfer&) = delete;
  file_transfer& operator=(const file_transfer&) = delete;

  // The observer and the rate cap (either may be null) for the transfers
  // to come.
  void set_observer(const body_observer* observer) { observer_ = observer; }
  void set_limiter(rate_limiter* limiter) { limiter_ = limiter; }

  // Opens the file ("ab" when continuing, else "wb") and sets this
  // transfer's options on `easy`. False, with `error`, when the file cannot
  // be opened.
  bool begin(CURL* easy, const transfer_spec& spec, std::string& error);
  // After libcurl's result `code`: closes the file, removes it where the
  // bytes cannot be the start of the file, and says how the transfer ended.
  // `aborted_on_behalf`: a callback of ours aborted it (reported as code
  // 42, like any abort).
  transfer_end finish(CURL* easy, CURLcode code, bool aborted_on_behalf);

  const transfer_spec& spec() const { return spec_; }
  // Body bytes in the file, the continued ones included.
  uint64_t written() const { return written_; }
  // Set when the rate cap paused the transfer; resume() when it may go on.
  bool paused() const { return paused_; }
  void resume(CURL* easy);

 private:
  static size_t write_to_file(char* bytes, size_t size, size_t count, void* self);

  transfer_spec spec_;
  std::FILE* file_ = nullptr;
  uint64_t written_ = 0;
  bool over_limit_ = false;
  bool paused_ = false;
  const body_observer* observer_ = nullptr;
  rate_limiter* limiter_ = nullptr;
};

}  // namespace tsl
