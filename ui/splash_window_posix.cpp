// The splash window's console stand-in: one status line with a progress bar
// on standard error. On a terminal it is redrawn in place; into a pipe or a
// file it is printed as plain lines, one per new text, so logs stay short and
// miss no text. Either way it is written at most once a frame, like the
// window, and a state that stands is written at its frame by a thread of
// the stand-in's own.
// Ctrl+C and SIGTERM close it the way the window's close button does.
#include "ui/splash_window.h"
#include "ui/splash_state.h"
#include "ui/splash_window_testing.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>

#include "util/text.h"

namespace tsl {

namespace {

constexpr int console_fd = 2;
constexpr size_t bar_cells = 24;

// The closed flag of the stand-in whose handlers are installed. A signal
// handler may touch nothing but lock-free atomics.
std::atomic<std::atomic<bool>*> interrupt_target{nullptr};
static_assert(std::atomic<bool>::is_always_lock_free, "signal handler needs a lock-free flag");
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free,
              "signal handler needs a lock-free pointer");

void on_interrupt(int) {
  std::atomic<bool>* flag = interrupt_target.load();
  if (flag) flag->store(true);
}

void write_all(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(console_fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a closed stderr loses the line, nothing more
    done += static_cast<size_t>(n);
  }
}

size_t terminal_columns() {
  winsize size{};
  if (ioctl(console_fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// "text  [#########---------------]  37%", or the text alone without a
// total. `width` (0 for none) limits the line in characters, shortening the
// text and keeping the bar.
std::string console_line(const std::wstring& text, uint32_t current, uint32_t total, size_t width) {
  std::wstring bar;
  if (total != 0) {
    const uint64_t done = std::min(current, total);
    const size_t filled = static_cast<size_t>(done * bar_cells / total);
    const unsigned percent = static_cast<unsigned>(done * 100 / total);
    bar = L"  [" + std::wstring(filled, L'#') + std::wstring(bar_cells - filled, L'-') + L"] ";
    std::wstring number = std::to_wstring(percent);
    bar += std::wstring(3 - std::min<size_t>(number.size(), 3), L' ') + number + L"%";
  }
  std::wstring shown = text;
  if (width > 0) {
    const size_t room = width > bar.size() ? width - bar.size() : 0;
    if (shown.size() > room) shown.resize(room);
    if (bar.size() > width) bar.resize(width);
  }
  return wide_to_utf8(shown + bar);
}

}  // namespace

struct CSplashWnd::impl : splash_state {
  explicit impl(const std::atomic<bool>& closed_flag) : closed(closed_flag) {}

  const std::atomic<bool>& closed;
  // Main thread only.
  bool started = false;
  bool handlers_installed = false;
  struct sigaction old_interrupt {};
  struct sigaction old_terminate {};

  // Set by start, read by every thread that draws.
  bool terminal GUARDED_BY(state_lock) = false;
  bool drawing GUARDED_BY(state_lock) = false;    // between start and close
  bool line_open GUARDED_BY(state_lock) = false;  // a terminal line without newline
  bool printed_any GUARDED_BY(state_lock) = false;
  std::wstring last_printed GUARDED_BY(state_lock);
  // A log's lines not written yet; they go out together, once a frame.
  std::string pending GUARDED_BY(state_lock);

  // A thread of its own writes at the next frame what callers left to it,
  // as the window's thread paints, so a state that stands is shown even
  // while its caller blocks.
  std::thread frame_thread;  // main thread only
  condition wake{&state_lock};
  bool paced GUARDED_BY(state_lock) = false;  // the frame thread runs
  bool frame_due GUARDED_BY(state_lock) = false;
  bool stopping GUARDED_BY(state_lock) = false;

  // A log keeps each new text as a line of its own.
  void keep_line() REQUIRES(state_lock) {
    if (terminal || (printed_any && status_text == last_printed)) return;
    pending += console_line(status_text, progress_current, progress_total, 0);
    pending += '\n';
    last_printed = status_text;
    printed_any = true;
  }

  bool has_news() const REQUIRES(state_lock) { return terminal ? unpainted() : !pending.empty(); }

  // The line redrawn in place on a terminal; the kept lines in a log.
  void draw() REQUIRES(state_lock) {
    note_paint(clock::now());
    if (terminal) {
      pending = "\r\x1b[2K";
      pending +=
          console_line(status_text, progress_current, progress_total, terminal_columns() - 1);
      line_open = true;
    }
    write_all(pending);
    pending.clear();
  }

  void frame_loop() EXCLUDES(state_lock) {
    mutex_lock lock(state_lock);
    for (;;) {
      while (!frame_due && !stopping) wake.wait();
      // A caller that drew meanwhile moves the frame on.
      while (!stopping && painted_within_frame(clock::now())) wake.wait_until(next_frame());
      if (stopping) return;
      frame_due = false;
      if (drawing && has_news() && !closed.load()) draw();
    }
  }

  void stop_frame_thread() EXCLUDES(state_lock) {
    if (!frame_thread.joinable()) return;
    {
      mutex_lock lock(state_lock);
      stopping = true;
      paced = false;
    }
    wake.signal();
    frame_thread.join();
  }
};

CSplashWnd::CSplashWnd() : CSplashWnd(splash_options()) {}

// There are no resources on the console; the options concern the window.
CSplashWnd::CSplashWnd(const splash_options&) : impl_(std::make_unique<impl>(closed_)) {}

CSplashWnd::~CSplashWnd() { close(); }

void CSplashWnd::start() {
  impl& s = *impl_;
  if (s.started || closed_.load()) return;
  s.started = true;
  const bool terminal = isatty(console_fd) == 1;

  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  // One-shot: a second Ctrl+C ends the process the usual way when the
  // cancellation takes too long for the user.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  interrupt_target.store(&closed_);
  sigaction(SIGINT, &action, &s.old_interrupt);
  sigaction(SIGTERM, &action, &s.old_terminate);
  s.handlers_installed = true;

  bool paced = false;
  try {
    s.frame_thread = std::thread([&s] { s.frame_loop(); });
    paced = true;
  } catch (const std::system_error&) {
    // Without the thread every change is written at once.
  }
  mutex_lock lock(s.state_lock);
  s.terminal = terminal;
  s.paced = paced;
  s.drawing = true;
  s.keep_line();
  s.draw();
}

void CSplashWnd::repaint() {
  impl& s = *impl_;
  // Like the window, which is gone once the user closed it.
  mutex_lock lock(s.state_lock);
  if (!s.drawing || closed_.load()) return;
  s.keep_line();
  if (!s.has_news()) return;
  if (!s.paced || !s.painted_within_frame(splash_state::clock::now())) {
    s.draw();
  } else if (!s.frame_due) {
    s.frame_due = true;
    s.wake.signal();
  }
}

void CSplashWnd::flush() {
  impl& s = *impl_;
  mutex_lock lock(s.state_lock);
  if (s.drawing && !closed_.load() && s.has_news()) s.draw();
}

void CSplashWnd::close() {
  impl& s = *impl_;
  const bool closed_before = closed_.exchange(true);
  s.stop_frame_thread();
  if (s.handlers_installed) {
    sigaction(SIGINT, &s.old_interrupt, nullptr);
    sigaction(SIGTERM, &s.old_terminate, nullptr);
    std::atomic<bool>* ours = &closed_;
    interrupt_target.compare_exchange_strong(ours, nullptr);
    s.handlers_installed = false;
  }
  mutex_lock lock(s.state_lock);
  // The last state is shown before the line ends, unless the user closed
  // it; a log keeps every line it was given.
  if (s.drawing && s.has_news() && !(closed_before && s.terminal)) s.draw();
  s.drawing = false;
  if (s.line_open) write_all("\n");
  s.line_open = false;
}

bool testable_splash::ui_thread_running() const { return false; }

splash_state& CSplashWnd::state() const { return *impl_; }

bool bring_splash_forward(uint32_t) { return false; }

}  // namespace tsl
