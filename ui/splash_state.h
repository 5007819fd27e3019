// What both splash implementations keep between a caller's update and the
// next paint, under the one lock that paints hold too, and the pacing of
// paints to the display's frame rate.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "util/sync.h"

namespace tsl {

struct splash_state {
  using clock = std::chrono::steady_clock;
  // Nobody sees more than one picture per display refresh, so no state is
  // painted sooner than this after the one before.
  static constexpr clock::duration frame_interval = std::chrono::milliseconds(16);

  mutable mutex state_lock;
  std::wstring status_text GUARDED_BY(state_lock);
  std::wstring caption GUARDED_BY(state_lock);
  uint32_t progress_current GUARDED_BY(state_lock) = 0;
  uint32_t progress_total GUARDED_BY(state_lock) = 0;
  std::function<void(const std::wstring&)> observer GUARDED_BY(state_lock);
  // Counts every replacement of the text, progress or caption; a paint
  // notes the count it showed, so a paint that would show nothing new is
  // left out.
  uint64_t changes GUARDED_BY(state_lock) = 0;
  uint64_t painted_changes GUARDED_BY(state_lock) = 0;
  clock::time_point changed_at GUARDED_BY(state_lock);  // when the state became what it is
  std::wstring painted_status GUARDED_BY(state_lock);   // what the last paint showed
  std::atomic<uint32_t> paints{0};

  bool unpainted() const REQUIRES(state_lock) { return changes != painted_changes; }
  // Called by every replacement of a part.
  void note_change(clock::time_point when) REQUIRES(state_lock) {
    ++changes;
    changed_at = when;
  }
  // A state that stood a frame without being painted must be painted before
  // it is replaced: the thread that paints at the frame may be late, its
  // timer coarser than a frame.
  bool stood_unpainted(clock::time_point now) const REQUIRES(state_lock) {
    return unpainted() && now - changed_at >= frame_interval;
  }

  // Called by every paint as it reads the state.
  void note_paint(clock::time_point when) REQUIRES(state_lock) {
    painted_changes = changes;
    painted_status = status_text;
    last_paint_.store(when.time_since_epoch().count());
    paints.fetch_add(1);
  }

  // Whether a paint began less than a frame before `now`: then the next one
  // waits for the frame, and the caller need not.
  bool painted_within_frame(clock::time_point now) const {
    return now - last_paint() < frame_interval;
  }
  // When the next paint may begin.
  clock::time_point next_frame() const { return last_paint() + frame_interval; }

 private:
  clock::time_point last_paint() const {
    return clock::time_point(clock::duration(last_paint_.load()));
  }
  // The start of the last paint; the clock's epoch before the first, which
  // lies far more than a frame back.
  std::atomic<clock::rep> last_paint_{0};
};

}  // namespace tsl
