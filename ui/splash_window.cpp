// The splash members that do not depend on how the state is drawn.
#include "ui/splash_window.h"

#include "ui/splash_state.h"

namespace tsl {

namespace {

// The state lock, taken to replace a part of the state, after a state that
// stood a frame without being painted was painted (without the lock, which
// painting takes).
class SCOPED_CAPABILITY change_lock {
 public:
  change_lock(CSplashWnd& window, splash_state& s) ACQUIRE(s.state_lock) : lock_(s.state_lock) {
    lock_.lock();
    if (s.stood_unpainted(splash_state::clock::now())) {
      mutex_unlock painting(lock_);
      window.flush();
    }
  }
  ~change_lock() RELEASE() { lock_.unlock(); }
  change_lock(const change_lock&) = delete;
  change_lock& operator=(const change_lock&) = delete;

 private:
  mutex& lock_;
};

}  // namespace

void CSplashWnd::set_caption(const std::wstring& caption) {
  splash_state& s = state();
  change_lock lock(*this, s);
  s.caption = caption;
  s.note_change(splash_state::clock::now());
}

void CSplashWnd::set_status_text(const std::wstring& text) {
  splash_state& s = state();
  std::function<void(const std::wstring&)> observer;
  {
    change_lock lock(*this, s);
    s.status_text = text;
    s.note_change(splash_state::clock::now());
    observer = s.observer;
  }
  if (observer) observer(text);
  // Outside the lock: painting takes it.
  repaint();
}

void CSplashWnd::set_progress(uint32_t current, uint32_t total) {
  splash_state& s = state();
  change_lock lock(*this, s);
  s.progress_current = current;
  s.progress_total = total;
  s.note_change(splash_state::clock::now());
}

}  // namespace tsl
