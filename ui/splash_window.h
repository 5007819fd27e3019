// The launcher's only window: background picture, status line, caption,
// progress bar and close button, run on a UI thread of its own. The native
// build draws the same state as one line on standard error.
// Threading: the main thread constructs, starts and closes it; any thread may
// call set_status_text, set_progress, repaint, flush and is_closed. The
// status text, progress and caption are guarded by one lock
// (ui/splash_state.h), held while they are replaced and while they are
// painted.
// Paints keep to the display's frame rate: a caller waits for a paint only
// when nothing was painted for a frame (16 ms); otherwise the newest state
// is painted at the next frame by the window's own thread. So every state
// that stands for a frame or longer is seen, and a burst of changes costs a
// paint per frame, not one per change.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace tsl {

// What the window is made from. The defaults are the shipped resources; tests
// choose missing ones and shorter waits.
struct splash_options {
  int background_id = 500;   // PNG resource of the background picture
  int close_icon_id = 102;   // PNG resource of the close icon
  uint32_t wait_ms = 15000;  // for the start-up event, and for the thread in close
};

struct splash_state;

class CSplashWnd {
 public:
  CSplashWnd();
  explicit CSplashWnd(const splash_options& options);
  // Closes the window if close was not called.
  ~CSplashWnd();
  CSplashWnd(const CSplashWnd&) = delete;
  CSplashWnd& operator=(const CSplashWnd&) = delete;

  void set_caption(const std::wstring& caption);
  // Starts the UI thread and waits at most 15000 ms for the window to show.
  void start();
  void set_status_text(const std::wstring& text);
  // Stores the progress; callers follow it with set_status_text.
  void set_progress(uint32_t current, uint32_t total);
  // Has the newest state painted: at once, waiting for it, when nothing was
  // painted for a frame, else at the next frame without waiting. Must not be
  // called with the state lock held: the UI thread takes it to paint.
  void repaint();
  // Has the newest state painted before returning, when it was not yet:
  // for the last state before a wait or a message box. close does it too.
  void flush();
  bool is_closed() const { return closed_.load(); }
  // Asks the window to close, waits at most 15000 ms for the UI thread, then
  // releases everything. Sets the closed flag even without a window.
  void close();

  struct impl;

 private:
  // What the tests observe (ui/splash_window_testing.h).
  friend class testable_splash;

  // The part of impl that both platforms share (ui/splash_state.h).
  splash_state& state() const;

  std::atomic<bool> closed_{false};
  std::unique_ptr<impl> impl_;
};

// Brings to the front a splash window that a process other than
// `own_process` shows (another launcher at work on this desktop), restoring
// it when it was minimised. False when there is none; always on the console.
bool bring_splash_forward(uint32_t own_process);

}  // namespace tsl
