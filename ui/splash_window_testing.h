// The splash window as tests see it: the window itself, and what it holds
// and did, which the product never asks.
// Threading: as CSplashWnd; the observer runs on the thread that sets the
// text, outside the state lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "ui/splash_window.h"

namespace tsl {

class testable_splash : public CSplashWnd {
 public:
  using CSplashWnd::CSplashWnd;

  // Every status text as it is set, and the current state.
  void set_status_observer(std::function<void(const std::wstring&)> observer);
  std::wstring status_text() const;
  void progress(uint32_t& current, uint32_t& total) const;
  std::wstring caption() const;
  // Whether the UI thread exists and has not ended (never on the console).
  bool ui_thread_running() const;
  // How many times the state was painted (window paints, console lines),
  // and the status text the last paint showed.
  uint32_t paint_count() const;
  std::wstring painted_status_text() const;
};

}  // namespace tsl
