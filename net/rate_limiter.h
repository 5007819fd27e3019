// One cap on the bytes every transfer of the process receives together, so
// that a player who shares the link with a household can keep some of it.
// A bucket of tokens that fills at the cap: a transfer takes what it
// received, and once the bucket is empty it pauses until it fills again.
// Threading: every member may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "util/sync.h"

namespace tsl {

class rate_limiter {
 public:
  using clock = std::chrono::steady_clock;

  // `bytes_per_second` 0: no cap.
  explicit rate_limiter(uint64_t bytes_per_second = 0, clock::time_point now = clock::now());

  uint64_t rate() const { return rate_; }
  bool limits() const { return rate_ != 0; }

  // Takes `bytes` that just arrived. False, taking nothing, when the
  // bucket is empty: the transfer pauses and offers them again later. A
  // piece larger than what the bucket holds is taken when the bucket is not
  // empty, leaving it in debt, so no piece waits for ever.
  bool take(size_t bytes, clock::time_point now = clock::now()) EXCLUDES(lock_);
  // Whether a paused transfer may go on: the bucket holds tokens again.
  bool has_room(clock::time_point now = clock::now()) EXCLUDES(lock_);
  // How long until it does, for the wait of a thread with paused transfers.
  std::chrono::milliseconds time_to_room(clock::time_point now = clock::now()) EXCLUDES(lock_);
  // What a transfer should receive at most in one piece under this cap.
  size_t piece_size(size_t largest) const;

 private:
  void refill(clock::time_point now) REQUIRES(lock_);

  const uint64_t rate_;
  const double burst_;
  mutex lock_;
  double tokens_ GUARDED_BY(lock_);  // below 0 while in debt
  clock::time_point filled_ GUARDED_BY(lock_);
};

}  // namespace tsl
