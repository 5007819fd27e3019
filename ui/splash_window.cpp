// The splash members that do not depend on how the state is drawn.
#include "ui/splash_window.h"

#include "ui/splash_state.h"

namespace tsl {

std::unique_lock<std::mutex> CSplashWnd::lock_for_change() {
  splash_state& s = state();
  std::unique_lock<std::mutex> lock(s.state_lock);
  if (s.stood_unpainted(splash_state::clock::now())) {
    // Painting takes the lock.
    lock.unlock();
    flush();
    lock.lock();
  }
  return lock;
}

void CSplashWnd::set_caption(const std::wstring& caption) {
  splash_state& s = state();
  auto lock = lock_for_change();
  s.caption = caption;
  s.note_change(splash_state::clock::now());
}

void CSplashWnd::set_status_text(const std::wstring& text) {
  splash_state& s = state();
  std::function<void(const std::wstring&)> observer;
  {
    auto lock = lock_for_change();
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
  auto lock = lock_for_change();
  s.progress_current = current;
  s.progress_total = total;
  s.note_change(splash_state::clock::now());
}

void CSplashWnd::set_status_observer(std::function<void(const std::wstring&)> observer) {
  splash_state& s = state();
  std::lock_guard<std::mutex> lock(s.state_lock);
  s.observer = std::move(observer);
}

std::wstring CSplashWnd::status_text() const {
  const splash_state& s = state();
  std::lock_guard<std::mutex> lock(s.state_lock);
  return s.status_text;
}

void CSplashWnd::progress(uint32_t& current, uint32_t& total) const {
  const splash_state& s = state();
  std::lock_guard<std::mutex> lock(s.state_lock);
  current = s.progress_current;
  total = s.progress_total;
}

std::wstring CSplashWnd::caption() const {
  const splash_state& s = state();
  std::lock_guard<std::mutex> lock(s.state_lock);
  return s.caption;
}

uint32_t CSplashWnd::paint_count() const { return state().paints.load(); }

std::wstring CSplashWnd::painted_status_text() const {
  const splash_state& s = state();
  std::lock_guard<std::mutex> lock(s.state_lock);
  return s.painted_status;
}

}  // namespace tsl
