// The splash window on Windows: a borderless GDI+ picture on a UI thread of
// its own, so the update session can block without freezing it.
#include "ui/splash_window.h"
#include "ui/splash_state.h"

#include <windows.h>
#include <windowsx.h>
#include <objidl.h>
#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>

// The GDI+ headers use unqualified min and max, which NOMINMAX takes away.
using std::max;
using std::min;
#include <gdiplus.h>

#include "util/product.h"
#include "ui/splash_geometry.h"

namespace tsl {

namespace {

constexpr wchar_t window_class_name[] = L"TessalySplashWnd";
// Sent by repaint from other threads: the UI thread repaints while the
// sender waits.
constexpr UINT repaint_message = WM_APP + 1;

// A picture decoded from a PNG resource. The bitmap may read from the memory
// block for as long as it lives, so both are kept together.
struct png_image {
  Gdiplus::Bitmap* bitmap = nullptr;
  HGLOBAL memory = nullptr;
  bool loaded = false;

  int32_t width() const { return loaded ? static_cast<int32_t>(bitmap->GetWidth()) : 0; }
  int32_t height() const { return loaded ? static_cast<int32_t>(bitmap->GetHeight()) : 0; }

  void release() {
    delete bitmap;
    bitmap = nullptr;
    if (memory) GlobalFree(memory);
    memory = nullptr;
    loaded = false;
  }
};

void load_png(HMODULE module, int id, png_image& image) {
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), L"PNG");
  if (!info) return;
  DWORD size = SizeofResource(module, info);
  HGLOBAL resource = LoadResource(module, info);
  const void* bytes = resource ? LockResource(resource) : nullptr;
  if (!bytes || size == 0) return;

  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, size);
  if (!memory) return;
  void* target = GlobalLock(memory);
  if (!target) {
    GlobalFree(memory);
    return;
  }
  std::memcpy(target, bytes, size);
  GlobalUnlock(memory);

  IStream* stream = nullptr;
  if (FAILED(CreateStreamOnHGlobal(memory, FALSE, &stream)) || !stream) {
    GlobalFree(memory);
    return;
  }
  Gdiplus::Bitmap* bitmap = Gdiplus::Bitmap::FromStream(stream);
  stream->Release();
  if (!bitmap || bitmap->GetLastStatus() != Gdiplus::Ok || bitmap->GetWidth() == 0) {
    delete bitmap;
    GlobalFree(memory);
    return;
  }
  image.bitmap = bitmap;
  image.memory = memory;
  image.loaded = true;
}

// Tahoma, or the library's generic sans-serif family where Tahoma is missing.
Gdiplus::Font* make_font() {
  auto* font = new Gdiplus::Font(L"Tahoma", 11.0f, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel);
  if (font->GetLastStatus() == Gdiplus::Ok) return font;
  delete font;
  Gdiplus::GpFontFamily* generic = nullptr;
  WCHAR name[LF_FACESIZE] = {};
  if (Gdiplus::DllExports::GdipGetGenericFontFamilySansSerif(&generic) != Gdiplus::Ok || !generic) {
    return nullptr;
  }
  Gdiplus::DllExports::GdipGetFamilyName(generic, name, LANG_NEUTRAL);
  Gdiplus::DllExports::GdipDeleteFontFamily(generic);
  font = new Gdiplus::Font(name, 11.0f, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel);
  if (font->GetLastStatus() == Gdiplus::Ok) return font;
  delete font;
  return nullptr;
}

}  // namespace

struct CSplashWnd::impl : splash_state {
  impl(CSplashWnd& owner_, const splash_options& options_) : owner(owner_), options(options_) {}

  CSplashWnd& owner;
  const splash_options options;

  // Graphics library session. The background thread is suppressed, so the
  // notification hook is ours to call.
  ULONG_PTR gdiplus_token = 0;
  Gdiplus::GdiplusStartupOutput gdiplus_output;
  ULONG_PTR hook_token = 0;
  bool gdiplus_started = false;
  bool hooked = false;
  bool released = false;

  png_image background;
  png_image close_icon;
  splash_geometry geometry;
  Gdiplus::Font* font = nullptr;
  Gdiplus::SolidBrush* brush = nullptr;
  Gdiplus::ColorMatrix hover_matrix;

  HANDLE thread = nullptr;
  DWORD thread_id = 0;
  HANDLE startup_event = nullptr;
  // Written by the UI thread, read by every thread that repaints.
  std::atomic<HWND> window{nullptr};

  // Mouse state, touched by the UI thread only. Positions are client
  // coordinates.
  int32_t mouse_x = 0;
  int32_t mouse_y = 0;
  int32_t press_x = 0;
  int32_t press_y = 0;
  bool button_down = false;
  bool dragging = false;
  bool hover = false;
  POINT drag_offset{0, 0};

  void construct();
  void release_resources();
  void run_ui_thread();
  void paint(HDC dc);
  LRESULT handle_message(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  void end_drag();
  static DWORD WINAPI ui_thread_main(void* parameter);
  static LRESULT CALLBACK window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
};

void CSplashWnd::impl::construct() {
  Gdiplus::GdiplusStartupInput input;
  input.SuppressBackgroundThread = TRUE;
  if (Gdiplus::GdiplusStartup(&gdiplus_token, &input, &gdiplus_output) == Gdiplus::Ok) {
    gdiplus_started = true;
    if (gdiplus_output.NotificationHook &&
        gdiplus_output.NotificationHook(&hook_token) == Gdiplus::Ok) {
      hooked = true;
    }
  }

  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);

  if (gdiplus_started) {
    HMODULE module = GetModuleHandleW(nullptr);
    if (!background.loaded) load_png(module, options.background_id, background);
    load_png(module, options.close_icon_id, close_icon);
    geometry = compute_splash_geometry(background.loaded, background.width(), background.height(),
                                       close_icon.loaded, close_icon.width(), close_icon.height());
    font = make_font();
    brush = new Gdiplus::SolidBrush(Gdiplus::Color(0xFF, 0xFF, 0xFF, 0xFF));
  }

  std::memset(&hover_matrix, 0, sizeof(hover_matrix));
  for (int i = 0; i < 5; ++i) hover_matrix.m[i][i] = 1.0f;
  hover_matrix.m[3][3] = 0.5f;
}

void CSplashWnd::impl::release_resources() {
  if (released) return;
  released = true;
  delete brush;
  brush = nullptr;
  delete font;
  font = nullptr;
  background.release();
  close_icon.release();
  if (hooked) gdiplus_output.NotificationUnhook(hook_token);
  hooked = false;
  if (gdiplus_started) Gdiplus::GdiplusShutdown(gdiplus_token);
  gdiplus_started = false;
}

DWORD WINAPI CSplashWnd::impl::ui_thread_main(void* parameter) {
  auto* self = static_cast<impl*>(parameter);
  try {
    self->run_ui_thread();
  } catch (...) {
    // Nothing here throws on purpose; a stray exception must not end the
    // process from a thread entry.
  }
  return 0;
}

void CSplashWnd::impl::run_ui_thread() {
  if (!background.loaded) return;
  HMODULE module = GetModuleHandleW(nullptr);

  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
  window_class.lpfnWndProc = window_proc;
  window_class.hInstance = module;
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hIcon = LoadIconW(module, MAKEINTRESOURCEW(32512));
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(5));
  window_class.lpszClassName = window_class_name;
  // A second window in the same process (a later start, or tests) finds the
  // class already there; it is the same class, so that is fine.
  if (!RegisterClassExW(&window_class) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;

  const int32_t width = geometry.width;
  const int32_t height = geometry.height;
  splash_rect area;
  POINT cursor{0, 0};
  GetCursorPos(&cursor);
  HMONITOR monitor = MonitorFromPoint(cursor, MONITOR_DEFAULTTONEAREST);
  MONITORINFO info{};
  info.cbSize = sizeof(info);
  if (monitor && GetMonitorInfoW(monitor, &info)) {
    area = splash_rect{info.rcMonitor.left, info.rcMonitor.top, info.rcMonitor.right,
                       info.rcMonitor.bottom};
  } else {
    RECT work{0, 0, 0, 0};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    area = splash_rect{work.left, work.top, work.right, work.bottom};
  }
  const splash_point origin = centre_in(area, width, height);

  HWND hwnd = CreateWindowExW(0, window_class_name, product_title, WS_POPUP | WS_CLIPCHILDREN,
                              origin.x, origin.y, width, height, nullptr, nullptr, module, this);
  if (!hwnd) return;
  window.store(hwnd);
  // close() sets the flag before it looks for the window: one of the two
  // sees the other, so a close that raced the creation is not lost.
  if (owner.closed_.load()) {
    DestroyWindow(hwnd);
  } else {
    SetWindowPos(hwnd, HWND_TOP, origin.x, origin.y, width, height,
                 SWP_SHOWWINDOW | SWP_NOACTIVATE);
    UpdateWindow(hwnd);
  }
  if (startup_event) SetEvent(startup_event);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  window.store(nullptr);
  owner.closed_.store(true);
}

void CSplashWnd::impl::paint(HDC dc) {
  if (!background.loaded) return;
  using namespace Gdiplus;
  const INT width = geometry.width;
  const INT height = geometry.height;
  Bitmap canvas(width, height, PixelFormat32bppARGB);
  if (canvas.GetLastStatus() != Ok) return;
  {
    Graphics graphics(&canvas);
    graphics.SetInterpolationMode(InterpolationModeHighQuality);
    graphics.SetTextRenderingHint(TextRenderingHintClearTypeGridFit);
    graphics.DrawImage(background.bitmap, 0, 0, width, height);

    if (close_icon.loaded) {
      const INT x = geometry.icon_x, y = geometry.icon_y;
      const INT w = geometry.icon_width, h = geometry.icon_height;
      if (in_close_zone(geometry, mouse_x, mouse_y)) {
        ImageAttributes attributes;
        attributes.SetColorMatrix(&hover_matrix);
        graphics.DrawImage(close_icon.bitmap, Rect(x, y, w, h), 0, 0, w, h, UnitPixel, &attributes);
      } else {
        graphics.DrawImage(close_icon.bitmap, x, y, w, h);
      }
    }

    // The shared state is read under its lock so a paint never sees a
    // half-replaced text.
    std::lock_guard<std::mutex> lock(state_lock);
    const bool can_write = font && brush;
    if (can_write && !status_text.empty()) {
      const splash_point at = status_text_origin(geometry);
      graphics.DrawString(status_text.c_str(), -1, font,
                          PointF(static_cast<REAL>(at.x), static_cast<REAL>(at.y)), brush);
    }
    const int32_t bar = progress_bar_width(progress_current, progress_total, width);
    if (bar > 0 && brush) {
      const splash_rect r = progress_bar_rect(geometry, bar);
      graphics.FillRectangle(brush, r.left, r.top, r.right - r.left, r.bottom - r.top);
    }
    if (can_write && !caption.empty()) {
      RectF layout(0, 0, 32767, 32767);
      RectF bounds;
      if (graphics.MeasureString(caption.c_str(), -1, font, layout, &bounds) == Ok) {
        graphics.DrawString(
            caption.c_str(), -1, font,
            PointF(caption_origin_x(geometry, bounds.Width), text_origin_y(geometry)), brush);
      }
    }
  }
  Graphics target(dc);
  target.DrawImage(&canvas, 0, 0, width, height);
  paints.fetch_add(1);
}

void CSplashWnd::impl::end_drag() {
  if (dragging && GetCapture()) ReleaseCapture();
  dragging = false;
}

LRESULT CSplashWnd::impl::handle_message(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      if (dc) paint(dc);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_MOUSEMOVE: {
      mouse_x = GET_X_LPARAM(lparam);
      mouse_y = GET_Y_LPARAM(lparam);
      const bool now_hover = in_close_zone(geometry, mouse_x, mouse_y);
      if (now_hover != hover) {
        hover = now_hover;
        RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
      }
      if (button_down && dragging) {
        POINT screen{mouse_x, mouse_y};
        ClientToScreen(hwnd, &screen);
        SetWindowPos(hwnd, nullptr, screen.x - drag_offset.x, screen.y - drag_offset.y, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
      }
      return 0;
    }
    case WM_LBUTTONDOWN: {
      press_x = GET_X_LPARAM(lparam);
      press_y = GET_Y_LPARAM(lparam);
      button_down = true;
      if (close_icon.loaded) {
        if (in_close_zone(geometry, press_x, press_y)) {
          DestroyWindow(hwnd);
        } else if (in_drag_region(geometry, press_x, press_y)) {
          POINT screen{press_x, press_y};
          ClientToScreen(hwnd, &screen);
          RECT frame{0, 0, 0, 0};
          GetWindowRect(hwnd, &frame);
          drag_offset = POINT{screen.x - frame.left, screen.y - frame.top};
          dragging = true;
          SetCapture(hwnd);
        }
      }
      return 0;
    }
    case WM_LBUTTONUP: {
      const int32_t x = GET_X_LPARAM(lparam);
      const int32_t y = GET_Y_LPARAM(lparam);
      if (close_icon.loaded && in_close_zone(geometry, x, y)) DestroyWindow(hwnd);
      end_drag();
      button_down = false;
      return 0;
    }
    case WM_KILLFOCUS:
      end_drag();
      button_down = false;
      return 0;
    case WM_CAPTURECHANGED:
      // Someone else took the mouse: a drag must not go on without it.
      if (reinterpret_cast<HWND>(lparam) != hwnd) dragging = false;
      return 0;
    case WM_MOUSEACTIVATE:
      // Shown without activation, and a click does not activate it either:
      // the splash never takes the keyboard from the user's other windows.
      // Under Wine an activated popup is deactivated again when it moves,
      // which would end every drag after its first step.
      return MA_NOACTIVATE;
    case repaint_message:
      RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
      return 0;
    case WM_CLOSE:
      DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      if (dragging) ReleaseCapture();
      dragging = false;
      button_down = false;
      window.store(nullptr);
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd, message, wparam, lparam);
  }
}

LRESULT CALLBACK CSplashWnd::impl::window_proc(HWND hwnd, UINT message, WPARAM wparam,
                                               LPARAM lparam) {
  impl* self = nullptr;
  if (message == WM_NCCREATE) {
    self = static_cast<impl*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<impl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  }
  if (!self) return DefWindowProcW(hwnd, message, wparam, lparam);
  return self->handle_message(hwnd, message, wparam, lparam);
}

CSplashWnd::CSplashWnd() : CSplashWnd(splash_options()) {}

CSplashWnd::CSplashWnd(const splash_options& options)
    : impl_(std::make_unique<impl>(*this, options)) {
  impl_->construct();
}

CSplashWnd::~CSplashWnd() { close(); }

void CSplashWnd::start() {
  impl& s = *impl_;
  if (s.thread || s.released) return;
  s.startup_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  s.thread = CreateThread(nullptr, 0, impl::ui_thread_main, &s, 0, &s.thread_id);
  if (!s.thread) return;
  if (s.startup_event) WaitForSingleObject(s.startup_event, s.options.wait_ms);
}

void CSplashWnd::repaint() {
  // Waits until the UI thread has painted, which keeps status changes
  // visible one by one. RedrawWindow with RDW_UPDATENOW from this thread is
  // not enough: the UI thread may pick up the invalidation by itself and
  // still be painting when RedrawWindow returns. So the UI thread is asked
  // to repaint and the reply comes after its paint.
  HWND hwnd = impl_->window.load();
  if (hwnd) SendMessageW(hwnd, repaint_message, 0, 0);
}

void CSplashWnd::close() {
  impl& s = *impl_;
  closed_.store(true);
  if (s.thread) {
    HWND hwnd = s.window.load();
    if (hwnd) PostMessageW(hwnd, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(s.thread, s.options.wait_ms) == WAIT_TIMEOUT) {
      TerminateThread(s.thread, 1);
      s.window.store(nullptr);
    }
    CloseHandle(s.thread);
    s.thread = nullptr;
    s.thread_id = 0;
  }
  if (s.startup_event) CloseHandle(s.startup_event);
  s.startup_event = nullptr;
  s.release_resources();
}

bool CSplashWnd::ui_thread_running() const {
  return impl_->thread && WaitForSingleObject(impl_->thread, 0) == WAIT_TIMEOUT;
}

splash_state& CSplashWnd::state() const { return *impl_; }

}  // namespace tsl
