#include "ui/splash_geometry.h"

#include <algorithm>

namespace tsl {

namespace {

constexpr int32_t icon_margin = 6;
constexpr int32_t close_zone_margin = 10;
constexpr int32_t min_bar_width = 5;
constexpr int32_t text_left = 9;
constexpr int32_t text_right = 9;
constexpr int32_t text_above_bottom = 24;

}  // namespace

splash_geometry compute_splash_geometry(bool background_loaded, int32_t background_width,
                                        int32_t background_height, bool icon_loaded,
                                        int32_t icon_width, int32_t icon_height) {
  splash_geometry g;
  if (!background_loaded) return g;
  g.width = background_width;
  g.height = background_height;
  if (!icon_loaded) return g;
  g.drag_width = background_width;
  g.drag_height = background_height;
  g.icon_x = background_width - icon_width - icon_margin;
  g.icon_y = icon_margin;
  g.icon_width = icon_width;
  g.icon_height = icon_height;
  g.close_zone.left = std::max(g.icon_x - close_zone_margin, 0);
  g.close_zone.top = std::max(g.icon_y - close_zone_margin, 0);
  g.close_zone.right = g.icon_x + icon_width + close_zone_margin;
  g.close_zone.bottom = g.icon_y + icon_height + close_zone_margin;
  return g;
}

bool in_close_zone(const splash_geometry& g, int32_t x, int32_t y) {
  const splash_rect& z = g.close_zone;
  return z.left < x && x < z.right && z.top < y && y < z.bottom;
}

bool in_drag_region(const splash_geometry& g, int32_t x, int32_t y) {
  return g.drag_left < x && x < g.drag_left + g.drag_width && g.drag_top < y &&
         y < g.drag_top + g.drag_height;
}

int32_t progress_bar_width(uint32_t current, uint32_t total, int32_t full_width) {
  if (total == 0) return 0;
  // Single precision at every step: the i686 build computes on the x87 unit,
  // whose registers keep a value exact until it is stored (4294967294 of
  // 4294967295 gave 439 of 440 pixels there). A store to a volatile float
  // rounds it as the SSE builds do.
  volatile float done = static_cast<float>(std::min(current, total));
  volatile float all = static_cast<float>(total);
  volatile float part = done / all;
  volatile float scaled = part * static_cast<float>(full_width);
  int32_t width = static_cast<int32_t>(scaled);
  return std::max(width, min_bar_width);
}

splash_point centre_in(const splash_rect& area, int32_t width, int32_t height) {
  // Signed throughout: monitors left of or above the primary one have
  // negative coordinates.
  splash_point p;
  p.x = area.left + (area.right - area.left - width) / 2;
  p.y = area.top + (area.bottom - area.top - height) / 2;
  return p;
}

splash_point status_text_origin(const splash_geometry& g) {
  return splash_point{text_left, g.height - text_above_bottom};
}

float caption_origin_x(const splash_geometry& g, float measured_width) {
  return static_cast<float>(g.width) - measured_width - static_cast<float>(text_right);
}

float text_origin_y(const splash_geometry& g) {
  return static_cast<float>(g.height - text_above_bottom);
}

splash_rect progress_bar_rect(const splash_geometry& g, int32_t bar_width) {
  return splash_rect{0, g.height - 3, bar_width, g.height + 3};
}

}  // namespace tsl
