// The test hooks that do not depend on how the state is drawn.
#include "ui/splash_window_testing.h"

#include "ui/splash_state.h"

namespace tsl {

void testable_splash::set_status_observer(std::function<void(const std::wstring&)> observer) {
  splash_state& s = state();
  mutex_lock lock(s.state_lock);
  s.observer = std::move(observer);
}

std::wstring testable_splash::status_text() const {
  const splash_state& s = state();
  mutex_lock lock(s.state_lock);
  return s.status_text;
}

void testable_splash::progress(uint32_t& current, uint32_t& total) const {
  const splash_state& s = state();
  mutex_lock lock(s.state_lock);
  current = s.progress_current;
  total = s.progress_total;
}

std::wstring testable_splash::caption() const {
  const splash_state& s = state();
  mutex_lock lock(s.state_lock);
  return s.caption;
}

uint32_t testable_splash::paint_count() const { return state().paints.load(); }

std::wstring testable_splash::painted_status_text() const {
  const splash_state& s = state();
  mutex_lock lock(s.state_lock);
  return s.painted_status;
}

}  // namespace tsl
