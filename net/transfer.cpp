#include "net/transfer.h"

#include <algorithm>
#include <cerrno>
#include <type_traits>

#include "net/rate_limiter.h"
#include "net/system_proxy.h"
#include "util/file_system.h"
#include "util/text.h"

namespace tsl {

namespace {
size_t discard_headers(char*, size_t size, size_t count, void*) { return size * count; }
}  // namespace

void set_download_options(curl_easy& handle) {
  // libcurl takes callbacks through a variadic call that checks nothing; a
  // wrong signature would only show as a corrupt stack at run time.
  static_assert(std::is_same_v<decltype(&discard_headers), curl_write_callback>);
  // Lengths and counts past 4 GiB on the 32-bit build too.
  static_assert(sizeof(curl_off_t) == 8);
  handle.add(CURLOPT_USERAGENT,
             "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:107.0) Gecko/20100101 Firefox/107.0");
  handle.add(CURLOPT_VERBOSE, 0L);
  handle.add(CURLOPT_IPRESOLVE, CURL_IPRESOLVE_WHATEVER);
  handle.add(CURLOPT_FOLLOWLOCATION, 1L);
  handle.add(CURLOPT_AUTOREFERER, 1L);
  handle.add(CURLOPT_MAXREDIRS, 5L);
  handle.add(CURLOPT_FAILONERROR, 1L);
  handle.add(CURLOPT_CONNECTTIMEOUT, connect_timeout_seconds);
  handle.add(CURLOPT_LOW_SPEED_LIMIT, low_speed_limit);
  handle.add(CURLOPT_LOW_SPEED_TIME, low_speed_time);
  handle.add(CURLOPT_BUFFERSIZE, receive_buffer_size);
  // Nothing reads the response headers; the handle's default would print
  // them on standard output, which a GUI program does not have.
  handle.add(CURLOPT_HEADERFUNCTION, &discard_headers);
  handle.add(CURLOPT_HEADERDATA, static_cast<void*>(nullptr));
}

file_transfer::~file_transfer() {
  if (file_) std::fclose(file_);
}

bool file_transfer::begin(CURL* easy, const transfer_spec& spec, std::string& error) {
  // libcurl takes callbacks through a variadic call that checks nothing; a
  // wrong signature would only show as a corrupt stack at run time.
  static_assert(std::is_same_v<decltype(&write_to_file), curl_write_callback>);
  spec_ = spec;
  written_ = spec.resume_from;
  over_limit_ = false;
  paused_ = false;
  errno = 0;
  file_ = open_c_file(spec.path, spec.resume_from ? "ab" : "wb");
  if (!file_) {
    error = format_narrow("Open failed: %u", static_cast<unsigned>(errno));
    return false;
  }
  if (observer_ && observer_->begin) observer_->begin(spec.resume_from);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &write_to_file);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, static_cast<void*>(this));
  // Refuses an announced length above the limit before any byte arrives;
  // the write function counts the bodies that announce none. 0 is no limit.
  // A resumed transfer announces the length of the rest.
  curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                   spec.byte_limit == no_byte_limit
                       ? curl_off_t{0}
                       : static_cast<curl_off_t>(
                             std::min<uint64_t>(spec.byte_limit - spec.resume_from, INT64_MAX)));
  // libcurl itself refuses an answer that is not the asked rest
  // (CURLE_RANGE_ERROR) before it hands over a byte of it.
  curl_easy_setopt(easy, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(spec.resume_from));
  if (spec.range_length) {
    // A host without ranges answers 200 with the whole body: the limit
    // stops it at the announced length, before the bytes are fetched.
    spec_.byte_limit = spec.range_length;
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(std::min<uint64_t>(spec.range_length, INT64_MAX)));
    const std::string range =
        format_narrow("%u-%u", spec.range_first, spec.range_first + spec.range_length - 1);
    curl_easy_setopt(easy, CURLOPT_RANGE, range.c_str());  // copied by libcurl
  }
  // The proxy is chosen per URL: a PAC script or a bypass list may send
  // two hosts different ways.
  apply_proxy(easy, proxy_for_url(spec.url));
  curl_easy_setopt(easy, CURLOPT_URL, spec.url.c_str());
  return true;
}

transfer_end file_transfer::finish(CURL* easy, CURLcode code, bool aborted_on_behalf) {
  transfer_end end;
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  // The handle must not keep a pointer to this object, nor ask the next
  // transfer for a range.
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, static_cast<void*>(nullptr));
  curl_easy_setopt(easy, CURLOPT_RESUME_FROM_LARGE, curl_off_t{0});
  curl_easy_setopt(easy, CURLOPT_RANGE, static_cast<const char*>(nullptr));
  bool write_failed = false;
  if (code == CURLE_OK && spec_.range_length && (status != 206 || written_ != spec_.range_length)) {
    end.range_refused = true;
    end.error =
        format_narrow("Range not served (HTTP %d, %u bytes)", static_cast<int>(status), written_);
  } else if (code == CURLE_OK) {
    end.ok = true;
  } else if (spec_.range_length && status != 206 && status < 400) {
    // Most often the whole body, refused at its announced length.
    end.range_refused = true;
    end.error = format_narrow("Range not served (HTTP %d)", static_cast<int>(status));
  } else {
    if (spec_.resume_from && (code == CURLE_RANGE_ERROR || status == 416)) end.range_refused = true;
    // libcurl weighs an announced length before the status: an error page
    // longer than the file is the host's error all the same.
    const bool error_status = status >= 400;
    if (!error_status && (over_limit_ || code == CURLE_FILESIZE_EXCEEDED)) {
      // The kept part and the rest are more than the file may be: the kept
      // part is not the start of this file.
      end.range_refused = spec_.resume_from != 0;
      end.over_limit = true;
      end.error = format_narrow("Larger than the expected %llu bytes",
                                static_cast<unsigned long long>(spec_.byte_limit));
    } else {
      write_failed = code == CURLE_WRITE_ERROR && !over_limit_;
      const CURLcode reported = aborted_on_behalf ? CURLE_ABORTED_BY_CALLBACK
                                : error_status    ? CURLE_HTTP_RETURNED_ERROR
                                                  : code;
      end.error = format_narrow("CURL error: %u", static_cast<unsigned>(reported));
    }
  }
  // The last buffered bytes reach the disk only here; a file that could not
  // be completed is a failure, not a success.
  errno = 0;
  const int closed = std::fclose(file_);
  file_ = nullptr;
  if (closed != 0) {
    if (end.ok) end.error = format_narrow("Write failed: %u", static_cast<unsigned>(errno));
    end.ok = false;
    write_failed = true;
  }
  // What arrived before a dropped connection or an abort is the true start
  // of the file and is kept; bytes that may not have reached the disk, or
  // more than the file may hold, are not.
  if (!end.ok && (!spec_.keep_partial || write_failed || end.over_limit || end.range_refused)) {
    delete_file(spec_.path);
  }
  return end;
}

void file_transfer::resume(CURL* easy) {
  if (!paused_) return;
  paused_ = false;
  // libcurl hands the held piece over again from inside this call.
  curl_easy_pause(easy, CURLPAUSE_CONT);
}

size_t file_transfer::write_to_file(char* bytes, size_t size, size_t count, void* target) {
  auto* self = static_cast<file_transfer*>(target);
  const uint64_t n = static_cast<uint64_t>(size) * count;
  if (n > self->spec_.byte_limit - self->written_) {
    // Fewer bytes taken than offered: libcurl ends the transfer.
    self->over_limit_ = true;
    return 0;
  }
  if (self->limiter_ && !self->limiter_->take(static_cast<size_t>(n))) {
    self->paused_ = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  self->written_ += n;
  const size_t written = std::fwrite(bytes, 1, static_cast<size_t>(n), self->file_);
  // A short write fails the transfer: what the observer saw is then moot.
  if (written == n && self->observer_ && self->observer_->add) {
    self->observer_->add(reinterpret_cast<const uint8_t*>(bytes), written);
  }
  return written;
}

}  // namespace tsl
