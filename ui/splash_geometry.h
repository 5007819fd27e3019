// Layout of the splash window, kept free of any window system so both builds
// test it: where the close icon sits, which points close or drag the window,
// how wide the progress bar is, and where the window goes on a monitor.
// Threading: plain values and pure functions.
#pragma once

#include <cstdint>

namespace tsl {

struct splash_rect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

struct splash_point {
  int32_t x = 0;
  int32_t y = 0;
};

struct splash_geometry {
  int32_t width = 0;  // of the background picture, and so of the window
  int32_t height = 0;
  // Drag region: left, top, width, height.
  int32_t drag_left = 0;
  int32_t drag_top = 0;
  int32_t drag_width = 0;
  int32_t drag_height = 0;
  // Close icon position and size.
  int32_t icon_x = 0;
  int32_t icon_y = 0;
  int32_t icon_width = 0;
  int32_t icon_height = 0;
  // The icon grown by 10 pixels on every side, left and top clamped at 0.
  splash_rect close_zone;
};

// All zero unless both pictures are there: then the window can be neither
// dragged nor closed with the mouse.
splash_geometry compute_splash_geometry(bool background_loaded, int32_t background_width,
                                        int32_t background_height, bool icon_loaded,
                                        int32_t icon_width, int32_t icon_height);

// Strict bounds on every side: a point on the edge is outside.
bool in_close_zone(const splash_geometry& geometry, int32_t x, int32_t y);
bool in_drag_region(const splash_geometry& geometry, int32_t x, int32_t y);

// Width in pixels of the progress bar for `current` of `total` across
// `full_width`; 0 means no bar (total 0). Otherwise at least 5 and, for a
// current beyond the total, the full width; computed in single precision.
int32_t progress_bar_width(uint32_t current, uint32_t total, int32_t full_width);

// Top-left corner that centres a window of the given size on `area`.
splash_point centre_in(const splash_rect& area, int32_t width, int32_t height);

// Layout origins of the two texts; the caption is right-aligned by its
// measured width.
splash_point status_text_origin(const splash_geometry& geometry);
float caption_origin_x(const splash_geometry& geometry, float measured_width);
float text_origin_y(const splash_geometry& geometry);

// The progress rectangle: starts 3 pixels above the bottom edge, 6 high, so
// only its upper half shows.
splash_rect progress_bar_rect(const splash_geometry& geometry, int32_t bar_width);

}  // namespace tsl
