// The splash window on Windows: a borderless GDI+ picture on a UI thread of
// its own, so the update session can block without freezing it.
#include "ui/splash_window.h"
#include "ui/splash_state.h"
#include "ui/splash_window_testing.h"

#include <windows.h>
#include <windowsx.h>
#include <objidl.h>
#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <exception>
#include <memory>

// The GDI+ headers use unqualified min and max, which NOMINMAX takes away.
using std::max;
using std::min;
#include <gdiplus.h>

#include "util/product.h"
#include "ui/splash_geometry.h"

namespace tsl {

namespace {

constexpr wchar_t window_class_name[] = L"TessalySplashWnd";
// Sent from other threads when they wait for a paint: the UI thread paints
// what was not painted yet while the sender waits.
constexpr UINT repaint_message = WM_APP + 1;
// Posted when a change is left to the next frame: the UI thread paints at
// the frame, by its timer when the frame is still to come.
constexpr UINT frame_message = WM_APP + 2;
constexpr UINT_PTR frame_timer = 1;

// Owners of the Win32, COM and GDI+ resources the window makes; each
// releases what it holds when it goes, so members declared in the order of
// making are released in reverse.
struct handle_close {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using unique_handle = std::unique_ptr<void, handle_close>;

struct global_free {
  void operator()(HGLOBAL memory) const { GlobalFree(memory); }
};
using global_block = std::unique_ptr<void, global_free>;

struct com_release {
  void operator()(IUnknown* object) const { object->Release(); }
};

struct dc_delete {
  void operator()(HDC dc) const { DeleteDC(dc); }
};
struct gdi_object_delete {
  void operator()(HGDIOBJ object) const { DeleteObject(object); }
};

// A 32-bit top-down DIB section selected into a memory DC of its own: an
// off-screen surface that GDI copies from and to at memory speed.
class memory_surface {
 public:
  memory_surface() = default;
  ~memory_surface() {
    // The bitmap cannot be deleted while the DC holds it.
    if (previous_) SelectObject(dc_.get(), previous_);
  }
  memory_surface(const memory_surface&) = delete;
  memory_surface& operator=(const memory_surface&) = delete;

  bool make(int32_t width, int32_t height) {
    dc_.reset(CreateCompatibleDC(nullptr));
    if (!dc_) return false;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    bitmap_.reset(CreateDIBSection(dc_.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!bitmap_) return false;
    previous_ = SelectObject(dc_.get(), bitmap_.get());
    return previous_ != nullptr;
  }
  HDC dc() const { return dc_.get(); }

 private:
  std::unique_ptr<HDC__, dc_delete> dc_;
  std::unique_ptr<void, gdi_object_delete> bitmap_;
  HGDIOBJ previous_ = nullptr;
};

// What a paint draws on, made once on the UI thread. What changes seldom
// (background, close icon and caption) is composed into two cached layers,
// with the icon plain and half transparent; a paint copies one of them onto
// the off-screen canvas, adds the bar and the status line, and copies the
// canvas to the window.
struct paint_surfaces {
  memory_surface layers[2];  // indexed by the hover flag
  memory_surface canvas;
  // The bar's white, as a GDI brush: a plain fill needs no GDI+ path.
  std::unique_ptr<void, gdi_object_delete> white;
  std::wstring composed_caption;
  bool composed = false;
};

// A GDI+ session with its background thread suppressed, so the notification
// hook is ours to call after start-up and to undo before shutdown.
class gdiplus_session {
 public:
  gdiplus_session() {
    Gdiplus::GdiplusStartupInput input;
    input.SuppressBackgroundThread = TRUE;
    if (Gdiplus::GdiplusStartup(&token_, &input, &output_) != Gdiplus::Ok) return;
    started_ = true;
    if (output_.NotificationHook && output_.NotificationHook(&hook_token_) == Gdiplus::Ok) {
      unhook_ = output_.NotificationUnhook;
    }
  }
  ~gdiplus_session() {
    if (unhook_) unhook_(hook_token_);
    if (started_) Gdiplus::GdiplusShutdown(token_);
  }
  gdiplus_session(const gdiplus_session&) = delete;
  gdiplus_session& operator=(const gdiplus_session&) = delete;

  bool started() const { return started_; }

 private:
  ULONG_PTR token_ = 0;
  Gdiplus::GdiplusStartupOutput output_{};
  bool started_ = false;
  ULONG_PTR hook_token_ = 0;
  Gdiplus::NotificationUnhookProc unhook_ = nullptr;
};

// A picture decoded from a PNG resource. The bitmap may read from the memory
// block for as long as it lives, so the block is declared first and goes last.
struct png_image {
  global_block memory;
  std::unique_ptr<Gdiplus::Bitmap> bitmap;

  bool loaded() const { return bitmap != nullptr; }
  int32_t width() const { return loaded() ? static_cast<int32_t>(bitmap->GetWidth()) : 0; }
  int32_t height() const { return loaded() ? static_cast<int32_t>(bitmap->GetHeight()) : 0; }
};

// Any failure leaves the image absent, with nothing of it kept.
png_image load_png(HMODULE module, int id) {
  png_image image;
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), L"PNG");
  if (!info) return image;
  DWORD size = SizeofResource(module, info);
  HGLOBAL resource = LoadResource(module, info);
  const void* bytes = resource ? LockResource(resource) : nullptr;
  if (!bytes || size == 0) return image;

  global_block memory(GlobalAlloc(GMEM_MOVEABLE, size));
  if (!memory) return image;
  void* target = GlobalLock(memory.get());
  if (!target) return image;
  std::memcpy(target, bytes, size);
  GlobalUnlock(memory.get());

  IStream* raw_stream = nullptr;
  // The stream does not free the block: the image keeps it.
  if (FAILED(CreateStreamOnHGlobal(memory.get(), FALSE, &raw_stream)) || !raw_stream) {
    return image;
  }
  std::unique_ptr<IStream, com_release> stream(raw_stream);
  std::unique_ptr<Gdiplus::Bitmap> bitmap(Gdiplus::Bitmap::FromStream(stream.get()));
  stream.reset();
  if (!bitmap || bitmap->GetLastStatus() != Gdiplus::Ok || bitmap->GetWidth() == 0) return image;
  image.memory = std::move(memory);
  image.bitmap = std::move(bitmap);
  return image;
}

// Tahoma, or the library's generic sans-serif family where Tahoma is missing.
std::unique_ptr<Gdiplus::Font> make_font() {
  auto font = std::make_unique<Gdiplus::Font>(L"Tahoma", 11.0f, Gdiplus::FontStyleRegular,
                                              Gdiplus::UnitPixel);
  if (font->GetLastStatus() == Gdiplus::Ok) return font;
  Gdiplus::GpFontFamily* generic = nullptr;
  WCHAR name[LF_FACESIZE] = {};
  if (Gdiplus::DllExports::GdipGetGenericFontFamilySansSerif(&generic) != Gdiplus::Ok || !generic) {
    return nullptr;
  }
  Gdiplus::DllExports::GdipGetFamilyName(generic, name, LANG_NEUTRAL);
  Gdiplus::DllExports::GdipDeleteFontFamily(generic);
  font =
      std::make_unique<Gdiplus::Font>(name, 11.0f, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel);
  if (font->GetLastStatus() == Gdiplus::Ok) return font;
  return nullptr;
}

// Everything the window draws with, made in the constructor in this order
// and released by close in reverse: brush, font, close icon, background,
// then the library session.
struct splash_graphics {
  gdiplus_session session;
  png_image background;
  png_image close_icon;
  std::unique_ptr<Gdiplus::Font> font;
  std::unique_ptr<Gdiplus::SolidBrush> brush;
};

}  // namespace

struct CSplashWnd::impl : splash_state {
  impl(CSplashWnd& owner_, const splash_options& options_) : owner(owner_), options(options_) {}

  CSplashWnd& owner;
  const splash_options options;

  // Absent once close has released it; then the window cannot start again.
  std::unique_ptr<splash_graphics> graphics;
  splash_geometry geometry;
  Gdiplus::ColorMatrix hover_matrix;

  unique_handle startup_event;
  unique_handle thread;
  DWORD thread_id = 0;
  // Written by the UI thread, read by every thread that repaints.
  std::atomic<HWND> window{nullptr};
  // A frame message is on its way or the frame timer runs; the UI thread
  // clears it before it reads the state to paint.
  std::atomic<bool> frame_pending{false};

  // Touched by the UI thread only: the surfaces (absent when they could not
  // be made; then paints draw everything straight onto the window), and the
  // state as the last paint copied it.
  std::unique_ptr<paint_surfaces> surfaces;
  std::wstring shown_status;
  std::wstring shown_caption;

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
  void run_ui_thread();
  void make_surfaces();
  bool compose_layers();
  void draw_layer(Gdiplus::Graphics& drawing, bool hover);
  // `whole` for the window's own paint requests; a change of state redraws
  // only the bottom band that holds the status line and the bar.
  void paint(HDC dc, bool whole) EXCLUDES(state_lock);
  void paint_state(HWND hwnd);
  bool has_unpainted() EXCLUDES(state_lock);
  void paint_if_unpainted(HWND hwnd);
  void paint_at_frame(HWND hwnd);
  LRESULT handle_message(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  void end_drag();
  static DWORD WINAPI ui_thread_main(void* parameter);
  static LRESULT CALLBACK window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
};

void CSplashWnd::impl::construct() {
  graphics = std::make_unique<splash_graphics>();
  splash_graphics& g = *graphics;

  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);

  if (g.session.started()) {
    HMODULE module = GetModuleHandleW(nullptr);
    g.background = load_png(module, options.background_id);
    g.close_icon = load_png(module, options.close_icon_id);
    geometry =
        compute_splash_geometry(g.background.loaded(), g.background.width(), g.background.height(),
                                g.close_icon.loaded(), g.close_icon.width(), g.close_icon.height());
    g.font = make_font();
    g.brush = std::make_unique<Gdiplus::SolidBrush>(Gdiplus::Color(0xFF, 0xFF, 0xFF, 0xFF));
  }

  std::memset(&hover_matrix, 0, sizeof(hover_matrix));
  for (int i = 0; i < 5; ++i) hover_matrix.m[i][i] = 1.0f;
  hover_matrix.m[3][3] = 0.5f;
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
  if (!graphics->background.loaded()) return;
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
  make_surfaces();

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
  if (startup_event) SetEvent(startup_event.get());

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  window.store(nullptr);
  owner.closed_.store(true);
  surfaces.reset();
}

void CSplashWnd::impl::make_surfaces() {
  auto made = std::make_unique<paint_surfaces>();
  for (memory_surface& layer : made->layers) {
    if (!layer.make(geometry.width, geometry.height)) return;
  }
  if (!made->canvas.make(geometry.width, geometry.height)) return;
  made->white.reset(CreateSolidBrush(RGB(0xFF, 0xFF, 0xFF)));
  if (!made->white) return;
  surfaces = std::move(made);
}

// Only with surfaces. Composes the layers once, and again when the caption
// changed.
bool CSplashWnd::impl::compose_layers() {
  paint_surfaces& s = *surfaces;
  if (s.composed && s.composed_caption == shown_caption) return true;
  s.composed = false;
  for (int hover = 0; hover < 2; ++hover) {
    Gdiplus::Graphics drawing(s.layers[hover].dc());
    if (drawing.GetLastStatus() != Gdiplus::Ok) return false;
    draw_layer(drawing, hover != 0);
  }
  s.composed_caption = shown_caption;
  s.composed = true;
  return true;
}

void CSplashWnd::impl::draw_layer(Gdiplus::Graphics& drawing, bool hover) {
  using namespace Gdiplus;
  const splash_graphics& g = *graphics;
  drawing.SetInterpolationMode(InterpolationModeHighQuality);
  drawing.SetTextRenderingHint(TextRenderingHintClearTypeGridFit);
  drawing.DrawImage(g.background.bitmap.get(), 0, 0, geometry.width, geometry.height);
  if (g.close_icon.loaded()) {
    const INT x = geometry.icon_x, y = geometry.icon_y;
    const INT w = geometry.icon_width, h = geometry.icon_height;
    if (hover) {
      ImageAttributes attributes;
      attributes.SetColorMatrix(&hover_matrix);
      drawing.DrawImage(g.close_icon.bitmap.get(), Rect(x, y, w, h), 0, 0, w, h, UnitPixel,
                        &attributes);
    } else {
      drawing.DrawImage(g.close_icon.bitmap.get(), x, y, w, h);
    }
  }
  if (g.font && g.brush && !shown_caption.empty()) {
    RectF layout(0, 0, 32767, 32767);
    RectF bounds;
    if (drawing.MeasureString(shown_caption.c_str(), -1, g.font.get(), layout, &bounds) == Ok) {
      drawing.DrawString(shown_caption.c_str(), -1, g.font.get(),
                         PointF(caption_origin_x(geometry, bounds.Width), text_origin_y(geometry)),
                         g.brush.get());
    }
  }
}

void CSplashWnd::impl::paint(HDC window_dc, bool whole) {
  const splash_graphics& g = *graphics;
  if (!g.background.loaded()) return;
  using namespace Gdiplus;
  const auto started = clock::now();
  const INT width = geometry.width;
  const INT height = geometry.height;
  // The state is copied at once, so callers never wait for the drawing;
  // the copies keep their storage from paint to paint.
  uint32_t current = 0, total = 0;
  {
    mutex_lock lock(state_lock);
    shown_status.assign(status_text);
    shown_caption.assign(caption);
    current = progress_current;
    total = progress_total;
    note_paint(started);
  }
  const bool hover = in_close_zone(geometry, mouse_x, mouse_y);
  paint_surfaces* s = surfaces && compose_layers() ? surfaces.get() : nullptr;
  // The status line's band down to the bottom edge, with room for the
  // glyphs' overhang.
  const INT top = whole || !s ? 0 : std::max(0, status_text_origin(geometry).y - 4);
  HDC dc = s ? s->canvas.dc() : window_dc;
  if (s) BitBlt(dc, 0, top, width, height - top, s->layers[hover].dc(), 0, top, SRCCOPY);
  const int32_t bar = progress_bar_width(current, total, width);
  const splash_rect r = progress_bar_rect(geometry, bar);
  {
    Graphics drawing(dc);
    if (!s) draw_layer(drawing, hover);
    drawing.SetTextRenderingHint(TextRenderingHintClearTypeGridFit);
    if (g.font && g.brush && !shown_status.empty()) {
      const splash_point at = status_text_origin(geometry);
      drawing.DrawString(shown_status.c_str(), -1, g.font.get(),
                         PointF(static_cast<REAL>(at.x), static_cast<REAL>(at.y)), g.brush.get());
    }
    if (bar > 0 && !s && g.brush) {
      drawing.FillRectangle(g.brush.get(), r.left, r.top, r.right - r.left, r.bottom - r.top);
    }
  }
  if (!s) return;
  if (bar > 0) {
    const RECT fill{r.left, r.top, r.right, r.bottom};
    FillRect(dc, &fill, static_cast<HBRUSH>(s->white.get()));
  }
  BitBlt(window_dc, 0, top, width, height - top, dc, 0, top, SRCCOPY);
}

void CSplashWnd::impl::paint_state(HWND hwnd) {
  // Straight into the window, without invalidating it: only the band
  // changes, and no paint request needs to go round the message queue.
  HDC dc = GetDC(hwnd);
  if (!dc) return;
  paint(dc, false);
  ReleaseDC(hwnd, dc);
}

bool CSplashWnd::impl::has_unpainted() {
  mutex_lock lock(state_lock);
  return unpainted();
}

void CSplashWnd::impl::paint_if_unpainted(HWND hwnd) {
  if (has_unpainted()) paint_state(hwnd);
}

void CSplashWnd::impl::paint_at_frame(HWND hwnd) {
  const auto now = clock::now();
  if (painted_within_frame(now)) {
    // A paint came meanwhile (a waiting caller, the mouse): the frame moved.
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next_frame() - now);
    SetTimer(hwnd, frame_timer, static_cast<UINT>(wait.count()) + 1, nullptr);
    return;
  }
  // Cleared before the paint reads the state: a change after that read
  // posts a frame of its own.
  frame_pending.store(false);
  paint_if_unpainted(hwnd);
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
      if (dc) paint(dc, true);
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
        // The cursor itself, not the message's client position: a move that
        // waited in the queue while the window moved would count twice.
        POINT screen{0, 0};
        GetCursorPos(&screen);
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
      if (graphics->close_icon.loaded()) {
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
      if (graphics->close_icon.loaded() && in_close_zone(geometry, x, y)) DestroyWindow(hwnd);
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
      paint_if_unpainted(hwnd);
      return 0;
    case frame_message:
      paint_at_frame(hwnd);
      return 0;
    case WM_TIMER:
      if (wparam != frame_timer) return DefWindowProcW(hwnd, message, wparam, lparam);
      KillTimer(hwnd, frame_timer);
      paint_at_frame(hwnd);
      return 0;
    case WM_CLOSE:
      // The last state is shown before the window goes.
      paint_if_unpainted(hwnd);
      DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      KillTimer(hwnd, frame_timer);
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
  // An exception must not unwind through the system's code that called
  // us (a failed allocation while painting, say): the message is left to
  // the default handling instead.
  try {
    return self->handle_message(hwnd, message, wparam, lparam);
  } catch (...) {
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }
}

CSplashWnd::CSplashWnd() : CSplashWnd(splash_options()) {}

CSplashWnd::CSplashWnd(const splash_options& options)
    : impl_(std::make_unique<impl>(*this, options)) {
  impl_->construct();
}

CSplashWnd::~CSplashWnd() { close(); }

void CSplashWnd::start() {
  impl& s = *impl_;
  if (s.thread || !s.graphics) return;
  s.startup_event.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  s.thread.reset(CreateThread(nullptr, 0, impl::ui_thread_main, &s, 0, &s.thread_id));
  if (!s.thread) return;
  if (s.startup_event) WaitForSingleObject(s.startup_event.get(), s.options.wait_ms);
}

void CSplashWnd::repaint() {
  impl& s = *impl_;
  HWND hwnd = s.window.load();
  if (!hwnd) return;
  if (!s.painted_within_frame(splash_state::clock::now())) {
    flush();
  } else if (!s.frame_pending.exchange(true) && !PostMessageW(hwnd, frame_message, 0, 0)) {
    // One frame message at a time: the paint at the frame shows the newest
    // state, whatever came after this change.
    s.frame_pending.store(false);
  }
}

void CSplashWnd::flush() {
  // RedrawWindow with RDW_UPDATENOW from this thread is not enough: the UI
  // thread may pick up the invalidation by itself and still be painting
  // when RedrawWindow returns. So the UI thread is asked to paint and the
  // reply comes after its paint.
  HWND hwnd = impl_->window.load();
  if (hwnd) SendMessageW(hwnd, repaint_message, 0, 0);
}

void CSplashWnd::close() {
  impl& s = *impl_;
  closed_.store(true);
  if (s.thread) {
    HWND hwnd = s.window.load();
    if (hwnd) PostMessageW(hwnd, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(s.thread.get(), s.options.wait_ms) == WAIT_TIMEOUT) {
      TerminateThread(s.thread.get(), 1);
      s.window.store(nullptr);
    }
    s.thread.reset();
    s.thread_id = 0;
  }
  s.startup_event.reset();
  // The thread is gone: nothing paints any more.
  s.graphics.reset();
}

bool testable_splash::ui_thread_running() const {
  return impl_->thread && WaitForSingleObject(impl_->thread.get(), 0) == WAIT_TIMEOUT;
}

splash_state& CSplashWnd::state() const { return *impl_; }

namespace {

struct splash_search {
  DWORD own_process;
  HWND found;
};

// CALLBACK: the 32-bit build calls it with the system's convention.
BOOL CALLBACK find_other_splash(HWND hwnd, LPARAM param) {
  auto* search = reinterpret_cast<splash_search*>(param);
  wchar_t name[64];
  DWORD process = 0;
  GetWindowThreadProcessId(hwnd, &process);
  if (process != search->own_process && GetClassNameW(hwnd, name, 64) &&
      std::wcscmp(name, window_class_name) == 0) {
    search->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

bool bring_splash_forward(uint32_t own_process) {
  splash_search search{own_process, nullptr};
  EnumWindows(&find_other_splash, reinterpret_cast<LPARAM>(&search));
  if (!search.found) return false;
  if (IsIconic(search.found)) ShowWindow(search.found, SW_RESTORE);
  SetForegroundWindow(search.found);
  return true;
}

}  // namespace tsl
