// The real window under Wine: geometry, what it paints, the mouse, and the
// faults of missing pictures. Mouse input is sent to the window and the
// cursor is moved along with it, so what Wine synthesises agrees.
#include "ui/splash_window_testing.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "util/product.h"

namespace tsl {
namespace {

HWND find_splash() { return FindWindowW(L"TessalySplashWnd", product_title); }

bool wait_until(const std::function<bool()>& condition, DWORD limit_ms = 5000) {
  ULONGLONG end = GetTickCount64() + limit_ms;
  while (!condition()) {
    if (GetTickCount64() > end) return false;
    Sleep(10);
  }
  return true;
}

RECT window_rect(HWND hwnd) {
  RECT r{0, 0, 0, 0};
  GetWindowRect(hwnd, &r);
  return r;
}

// The window's pixels as painted, read back from its surface.
class window_pixels {
 public:
  explicit window_pixels(HWND hwnd) {
    RECT client{0, 0, 0, 0};
    GetClientRect(hwnd, &client);
    width_ = client.right;
    height_ = client.bottom;
    HDC window_dc = GetDC(hwnd);
    HDC memory_dc = CreateCompatibleDC(window_dc);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width_;
    info.bmiHeader.biHeight = -height_;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory_dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory_dc, bitmap);
    BitBlt(memory_dc, 0, 0, width_, height_, window_dc, 0, 0, SRCCOPY);
    GdiFlush();
    const auto* p = static_cast<const uint32_t*>(bits);
    pixels_.assign(p, p + width_ * height_);
    SelectObject(memory_dc, old);
    DeleteObject(bitmap);
    DeleteDC(memory_dc);
    ReleaseDC(hwnd, window_dc);
  }
  int width() const { return width_; }
  int height() const { return height_; }
  int red(int x, int y) const { return (pixels_[y * width_ + x] >> 16) & 0xFF; }
  int green(int x, int y) const { return (pixels_[y * width_ + x] >> 8) & 0xFF; }
  int blue(int x, int y) const { return pixels_[y * width_ + x] & 0xFF; }
  bool white(int x, int y) const {
    return red(x, y) >= 245 && green(x, y) >= 245 && blue(x, y) >= 245;
  }
  bool bright(int x, int y) const { return red(x, y) + green(x, y) + blue(x, y) > 3 * 170; }
  int white_run(int y) const {
    int n = 0;
    while (n < width_ && white(n, y)) ++n;
    return n;
  }
  int bright_count(int x0, int y0, int x1, int y1) const {
    int n = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) n += bright(x, y) ? 1 : 0;
    return n;
  }

 private:
  int width_ = 0;
  int height_ = 0;
  std::vector<uint32_t> pixels_;
};

void mouse(HWND hwnd, UINT message, int x, int y) {
  POINT screen{x, y};
  ClientToScreen(hwnd, &screen);
  SetCursorPos(screen.x, screen.y);
  SendMessageW(hwnd, message, message == WM_LBUTTONUP ? 0 : MK_LBUTTON, MAKELPARAM(x, y));
}

class SplashWin32 : public ::testing::Test {
 protected:
  void show(const splash_options& options = splash_options()) {
    splash_ = std::make_unique<testable_splash>(options);
    splash_->set_caption(product_site_caption);
    splash_->set_status_text(L"Starting...");
    splash_->start();
    hwnd_ = find_splash();
  }
  void TearDown() override {
    if (splash_) splash_->close();
  }
  std::unique_ptr<testable_splash> splash_;
  HWND hwnd_ = nullptr;
};

TEST_F(SplashWin32, WindowHasTheBackgroundsSizeCentredOnItsMonitor) {
  show();
  ASSERT_NE(hwnd_, nullptr);
  EXPECT_TRUE(IsWindowVisible(hwnd_));
  EXPECT_TRUE(splash_->ui_thread_running());
  RECT r = window_rect(hwnd_);
  EXPECT_EQ(r.right - r.left, 440);
  EXPECT_EQ(r.bottom - r.top, 250);
  MONITORINFO info{};
  info.cbSize = sizeof(info);
  ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTONEAREST), &info));
  const RECT& m = info.rcMonitor;
  EXPECT_EQ(r.left, m.left + (m.right - m.left - 440) / 2);
  EXPECT_EQ(r.top, m.top + (m.bottom - m.top - 250) / 2);
  EXPECT_EQ(GetWindowLongW(hwnd_, GWL_STYLE) & (WS_POPUP | WS_CAPTION), WS_POPUP);
}

TEST_F(SplashWin32, PaintsStatusProgressAndCaption) {
  show();
  ASSERT_NE(hwnd_, nullptr);
  // The status line and caption sit in the dark bottom band.
  const int text_top = 226, text_bottom = 242;
  splash_->set_progress(0, 0);
  splash_->set_caption(L"");
  splash_->set_status_text(L"");
  splash_->flush();
  {
    window_pixels bare(hwnd_);
    ASSERT_EQ(bare.width(), 440);
    EXPECT_EQ(bare.bright_count(9, text_top, 200, text_bottom), 0);
    EXPECT_EQ(bare.bright_count(300, text_top, 431, text_bottom), 0);
    for (int y = 247; y < 250; ++y) EXPECT_EQ(bare.white_run(y), 0) << "no bar at total 0";
  }
  splash_->set_caption(product_site_caption);
  splash_->set_progress(50, 100);
  splash_->set_status_text(L"Checking files...");
  splash_->flush();
  {
    window_pixels shown(hwnd_);
    EXPECT_GT(shown.bright_count(9, text_top, 200, text_bottom), 40);
    EXPECT_GT(shown.bright_count(300, text_top, 431, text_bottom), 40);
    EXPECT_EQ(shown.bright_count(0, text_top, 8, text_bottom), 0) << "text starts at x 9";
    for (int y = 247; y < 250; ++y) EXPECT_EQ(shown.white_run(y), 220) << y;
    EXPECT_FALSE(shown.white(10, 246)) << "the bar is 3 pixels high inside the picture";
  }
  const struct {
    uint32_t current, total;
    int width;
  } bars[] = {{0, 100, 5}, {150, 100, 440}, {100, 100, 440}, {1, 3, 146}};
  for (const auto& bar : bars) {
    splash_->set_progress(bar.current, bar.total);
    splash_->set_status_text(L"Downloading");
    splash_->flush();
    window_pixels p(hwnd_);
    EXPECT_EQ(p.white_run(248), bar.width) << bar.current << "/" << bar.total;
  }
}

// The window's own thread paints the last state of a burst at its frame:
// nobody flushes here. The caption and the picture above the band stay.
TEST_F(SplashWin32, LastStateOfABurstReachesTheWindow) {
  show();
  ASSERT_NE(hwnd_, nullptr);
  window_pixels before(hwnd_);
  for (uint32_t i = 1; i <= 1000; ++i) {
    splash_->set_progress(i, 1000);
    splash_->set_status_text(L"Checking file 'Item " + std::to_wstring(i) + L".dat'");
  }
  EXPECT_TRUE(wait_until([&] { return window_pixels(hwnd_).white_run(248) == 440; }));
  window_pixels after(hwnd_);
  EXPECT_EQ(after.red(430, 10), before.red(430, 10)) << "close icon";
  EXPECT_GT(after.bright_count(300, 226, 431, 242), 40) << "caption";
  EXPECT_EQ(after.bright_count(9, 60, 400, 200), before.bright_count(9, 60, 400, 200));
}

TEST_F(SplashWin32, HoverDrawsTheCloseIconHalfTransparent) {
  show();
  ASSERT_NE(hwnd_, nullptr);
  mouse(hwnd_, WM_MOUSEMOVE, 100, 100);
  int plain = window_pixels(hwnd_).red(430, 10);
  mouse(hwnd_, WM_MOUSEMOVE, 430, 10);
  int hovered = window_pixels(hwnd_).red(430, 10);
  mouse(hwnd_, WM_MOUSEMOVE, 100, 100);
  int again = window_pixels(hwnd_).red(430, 10);
  EXPECT_GE(plain, 245);
  EXPECT_LT(hovered, 200);
  EXPECT_GT(hovered, 60);
  EXPECT_EQ(again, plain);
  EXPECT_FALSE(splash_->is_closed());
}

TEST_F(SplashWin32, PressOnTheCloseIconClosesAndEndsTheThread) {
  show();
  ASSERT_NE(hwnd_, nullptr);
  mouse(hwnd_, WM_LBUTTONDOWN, 430, 10);
  EXPECT_TRUE(wait_until([&] { return splash_->is_closed() && !splash_->ui_thread_running(); }));
  EXPECT_FALSE(IsWindow(hwnd_));
  uint32_t painted = splash_->paint_count();
  splash_->set_status_text(L"dropped");  // no window any more, no crash
  EXPECT_EQ(splash_->paint_count(), painted);
}

TEST_F(SplashWin32, ReleaseOnTheCloseIconCloses) {
  show();
  ASSERT_NE(hwnd_, nullptr);
  mouse(hwnd_, WM_LBUTTONDOWN, 416, 10);  // on the zone's edge: outside, starts a drag
  EXPECT_FALSE(splash_->is_closed());
  mouse(hwnd_, WM_LBUTTONUP, 416, 10);
  EXPECT_FALSE(splash_->is_closed());
  mouse(hwnd_, WM_LBUTTONDOWN, 200, 200);
  mouse(hwnd_, WM_LBUTTONUP, 440 - 12, 12);
  EXPECT_TRUE(wait_until([&] { return splash_->is_closed() && !splash_->ui_thread_running(); }));
}

TEST_F(SplashWin32, DragMovesTheWindowWithTheCursor) {
  show();
  ASSERT_NE(hwnd_, nullptr);
  RECT before = window_rect(hwnd_);
  mouse(hwnd_, WM_LBUTTONDOWN, 100, 100);
  EXPECT_EQ(GetCapture(), nullptr) << "capture belongs to the UI thread, not ours";
  mouse(hwnd_, WM_MOUSEMOVE, 130, 120);
  EXPECT_TRUE(wait_until([&] { return window_rect(hwnd_).left == before.left + 30; }));
  RECT moved = window_rect(hwnd_);
  EXPECT_EQ(moved.left, before.left + 30);
  EXPECT_EQ(moved.top, before.top + 20);
  EXPECT_EQ(moved.right - moved.left, 440);
  // The cursor is now at client (100, 100) of the moved window.
  mouse(hwnd_, WM_LBUTTONUP, 100, 100);
  mouse(hwnd_, WM_MOUSEMOVE, 150, 150);  // button up: no more moving
  Sleep(50);
  RECT after = window_rect(hwnd_);
  EXPECT_EQ(after.left, moved.left);
  EXPECT_EQ(after.top, moved.top);
  EXPECT_FALSE(splash_->is_closed());
}

TEST_F(SplashWin32, WithoutCloseIconTheMouseNeitherClosesNorDrags) {
  splash_options options;
  options.close_icon_id = 9999;
  show(options);
  ASSERT_NE(hwnd_, nullptr);
  RECT before = window_rect(hwnd_);
  EXPECT_EQ(before.right - before.left, 440);
  mouse(hwnd_, WM_LBUTTONDOWN, 430, 10);
  mouse(hwnd_, WM_LBUTTONUP, 430, 10);
  mouse(hwnd_, WM_LBUTTONDOWN, 100, 100);
  mouse(hwnd_, WM_MOUSEMOVE, 140, 140);
  mouse(hwnd_, WM_LBUTTONUP, 140, 140);
  Sleep(50);
  EXPECT_FALSE(splash_->is_closed());
  EXPECT_TRUE(IsWindow(hwnd_));
  RECT after = window_rect(hwnd_);
  EXPECT_EQ(after.left, before.left);
  EXPECT_EQ(after.top, before.top);
  // And no icon is drawn where it would be.
  splash_->set_status_text(L"x");
  splash_->flush();
  EXPECT_FALSE(window_pixels(hwnd_).white(430, 10));
  splash_->close();
  EXPECT_TRUE(splash_->is_closed());
  EXPECT_FALSE(splash_->ui_thread_running());
}

TEST_F(SplashWin32, MissingOrUndecodableBackgroundMeansNoWindow) {
  for (int id : {9999, 9001}) {  // absent; present but not a picture
    splash_options options;
    options.background_id = id;
    options.wait_ms = 400;
    ULONGLONG started = GetTickCount64();
    show(options);
    EXPECT_GE(GetTickCount64() - started, 350u) << "start waits its full time";
    EXPECT_EQ(hwnd_, nullptr);
    EXPECT_FALSE(splash_->ui_thread_running());
    splash_->set_progress(1, 2);
    splash_->set_status_text(L"dropped");
    EXPECT_EQ(splash_->paint_count(), 0u);
    EXPECT_FALSE(splash_->is_closed());
    splash_->close();
    EXPECT_TRUE(splash_->is_closed());
  }
}

TEST_F(SplashWin32, ASecondLauncherBringsTheRunningOnesWindowForward) {
  show();
  ASSERT_NE(hwnd_, nullptr);
  // Another program has the front, and the launcher's window is minimised.
  HWND other = CreateWindowExW(0, L"STATIC", L"other program", WS_POPUP | WS_VISIBLE, 0, 0, 200,
                               100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(other, nullptr);
  SetForegroundWindow(other);
  ShowWindow(hwnd_, SW_MINIMIZE);
  // A launcher never brings its own window forward...
  EXPECT_FALSE(bring_splash_forward(GetCurrentProcessId()));
  EXPECT_TRUE(IsIconic(hwnd_));
  // ...but that of the launcher already at work, whose process is not its own.
  EXPECT_TRUE(bring_splash_forward(GetCurrentProcessId() + 4));
  EXPECT_FALSE(IsIconic(hwnd_));
  EXPECT_EQ(GetForegroundWindow(), hwnd_);
  DestroyWindow(other);
}

TEST_F(SplashWin32, CloseEndsTheThreadAndTheWindow) {
  show();
  ASSERT_NE(hwnd_, nullptr);
  ULONGLONG started = GetTickCount64();
  splash_->close();
  EXPECT_LT(GetTickCount64() - started, 15000u);
  EXPECT_TRUE(splash_->is_closed());
  EXPECT_FALSE(splash_->ui_thread_running());
  EXPECT_FALSE(IsWindow(hwnd_));
  EXPECT_EQ(find_splash(), nullptr);
}

}  // namespace
}  // namespace tsl
