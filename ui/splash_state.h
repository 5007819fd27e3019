// What both splash implementations keep between a caller's update and the
// next paint, under the one lock that paints hold too.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace tsl {

struct splash_state {
  mutable std::mutex state_lock;
  std::wstring status_text;                           // REQUIRES: state_lock
  std::wstring caption;                               // REQUIRES: state_lock
  uint32_t progress_current = 0;                      // REQUIRES: state_lock
  uint32_t progress_total = 0;                        // REQUIRES: state_lock
  std::function<void(const std::wstring&)> observer;  // REQUIRES: state_lock
  std::atomic<uint32_t> paints{0};
};

}  // namespace tsl
