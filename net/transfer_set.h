// Many transfers at once on one libcurl multi handle: several keep-alive
// connections to a host, and HTTP/2 streams on one connection where the
// host offers them. Each transfer is a file_transfer on an easy handle of
// the set's own, configured as the downloader configures its handle; a
// transfer that continues a kept part and is refused the rest is asked
// again whole, as downloader::download_resumable does.
// Threading: one thread drives a set; the rate limiter may be shared with
// other threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/curl_easy.h"
#include "net/transfer.h"

namespace tsl {

class rate_limiter;

class transfer_set {
 public:
  struct settings {
    // Connections and streams in flight at most.
    uint32_t max_in_flight = 16;
    // The cap every transfer shares; null for none.
    rate_limiter* limiter = nullptr;
  };
  using key = uint64_t;
  struct request {
    key id = 0;
    transfer_spec spec;  // spec.resume_from is taken from what `path` holds
    body_observer observer;
    // A transfer below `low_speed_limit` bytes a second for
    // `low_speed_time` seconds fails as a time-out (code 28).
    long low_speed_limit = 1;
    long low_speed_time = 60;
    // Options of this transfer beyond the set's own (the proxy for its URL,
    // say), set before it starts.
    std::function<void(CURL*, const std::string& url)> configure;
  };
  struct finished {
    key id = 0;
    transfer_end end;
    uint64_t resumed_from = 0;  // bytes the transfer took over from a kept part
  };

  explicit transfer_set(settings s);  // throws curl_easy_exception
  ~transfer_set();                    // ends what is in flight; kept parts stay
  transfer_set(const transfer_set&) = delete;
  transfer_set& operator=(const transfer_set&) = delete;

  // Starts a transfer. One whose file cannot be opened ends at once: it is
  // among the next step's finished.
  void start(request r);
  size_t in_flight() const { return active_.size(); }
  bool has_room() const { return active_.size() < settings_.max_in_flight; }

  // Drives every transfer for at most `wait` and returns those that ended.
  std::vector<finished> step(std::chrono::milliseconds wait);
  // Ends every transfer at once (code 42); kept parts stay.
  std::vector<finished> abort_all();

  // Body bytes that transfer `id` has in its file, and the whole it
  // expects (0 while unknown).
  bool progress(key id, uint64_t& received, uint64_t& expected) const;

 private:
  struct active;
  void begin(active& a);
  std::unique_ptr<curl_easy> take_handle();
  void retire(std::unique_ptr<active> a);

  settings settings_;
  CURLM* multi_ = nullptr;
  std::vector<std::unique_ptr<active>> active_;
  std::vector<finished> ended_early_;             // failed to begin
  std::vector<std::unique_ptr<curl_easy>> idle_;  // handles kept for their settings
};

}  // namespace tsl
