#include "net/rate_limiter.h"

#include <algorithm>
#include <cmath>

namespace tsl {

namespace {
// The bucket holds a tenth of a second of the cap (at least 16 KiB): enough
// to keep a transfer from pausing at every piece, little enough that any
// ten seconds stay within a few percent of the cap.
double burst_of(uint64_t rate) { return std::max(16.0 * 1024, static_cast<double>(rate) / 10); }
}  // namespace

rate_limiter::rate_limiter(uint64_t bytes_per_second, clock::time_point now)
    : rate_(bytes_per_second), burst_(burst_of(bytes_per_second)), tokens_(burst_), filled_(now) {}

void rate_limiter::refill(clock::time_point now) {
  if (now <= filled_) return;
  const double seconds = std::chrono::duration<double>(now - filled_).count();
  tokens_ = std::min(burst_, tokens_ + seconds * static_cast<double>(rate_));
  filled_ = now;
}

bool rate_limiter::take(size_t bytes, clock::time_point now) {
  if (!rate_) return true;
  mutex_lock hold(lock_);
  refill(now);
  if (tokens_ <= 0) return false;
  tokens_ -= static_cast<double>(bytes);
  return true;
}

bool rate_limiter::has_room(clock::time_point now) {
  if (!rate_) return true;
  mutex_lock hold(lock_);
  refill(now);
  return tokens_ > 0;
}

std::chrono::milliseconds rate_limiter::time_to_room(clock::time_point now) {
  if (!rate_) return std::chrono::milliseconds(0);
  mutex_lock hold(lock_);
  refill(now);
  if (tokens_ > 0) return std::chrono::milliseconds(0);
  const double seconds = (-tokens_ + 1) / static_cast<double>(rate_);
  return std::chrono::milliseconds(static_cast<int64_t>(std::ceil(seconds * 1000)));
}

size_t rate_limiter::piece_size(size_t largest) const {
  if (!rate_) return largest;
  // A twentieth of a second of the cap, so that one piece is never a large
  // part of what a second may bring.
  return std::clamp<size_t>(static_cast<size_t>(rate_ / 20), 1024, largest);
}

}  // namespace tsl
