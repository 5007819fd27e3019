#include "ui/splash_geometry.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace tsl {
namespace {

splash_geometry shipped() { return compute_splash_geometry(true, 440, 250, true, 8, 8); }

TEST(SplashGeometry, ShippedPicturesPlaceTheCloseIconAndItsZone) {
  splash_geometry g = shipped();
  EXPECT_EQ(g.width, 440);
  EXPECT_EQ(g.height, 250);
  EXPECT_EQ(g.icon_x, 426);
  EXPECT_EQ(g.icon_y, 6);
  EXPECT_EQ(g.icon_width, 8);
  EXPECT_EQ(g.icon_height, 8);
  EXPECT_EQ(g.close_zone.left, 416);
  EXPECT_EQ(g.close_zone.top, 0);  // 6 - 10, clamped
  EXPECT_EQ(g.close_zone.right, 444);
  EXPECT_EQ(g.close_zone.bottom, 24);
  EXPECT_EQ(g.drag_left, 0);
  EXPECT_EQ(g.drag_top, 0);
  EXPECT_EQ(g.drag_width, 440);
  EXPECT_EQ(g.drag_height, 250);
}

TEST(SplashGeometry, ZonesHaveExclusiveBounds) {
  splash_geometry g = shipped();
  EXPECT_TRUE(in_close_zone(g, 430, 10));
  EXPECT_TRUE(in_close_zone(g, 417, 1));
  EXPECT_TRUE(in_close_zone(g, 443, 23));
  EXPECT_FALSE(in_close_zone(g, 416, 10));
  EXPECT_FALSE(in_close_zone(g, 444, 10));
  EXPECT_FALSE(in_close_zone(g, 430, 0));
  EXPECT_FALSE(in_close_zone(g, 430, 24));

  EXPECT_TRUE(in_drag_region(g, 1, 1));
  EXPECT_TRUE(in_drag_region(g, 439, 249));
  EXPECT_FALSE(in_drag_region(g, 0, 100));
  EXPECT_FALSE(in_drag_region(g, 100, 0));
  EXPECT_FALSE(in_drag_region(g, 440, 100));
  EXPECT_FALSE(in_drag_region(g, 100, 250));
  EXPECT_FALSE(in_drag_region(g, -5, -5));
}

TEST(SplashGeometry, MissingPicturesLeaveNothingToClickOrDrag) {
  // Without the close icon the window still has its size, but no point
  // closes or drags it.
  splash_geometry no_icon = compute_splash_geometry(true, 440, 250, false, 0, 0);
  EXPECT_EQ(no_icon.width, 440);
  EXPECT_EQ(no_icon.height, 250);
  EXPECT_EQ(no_icon.close_zone.right, 0);
  EXPECT_EQ(no_icon.drag_width, 0);
  for (int32_t x : {0, 5, 100, 430, 439}) {
    for (int32_t y : {0, 5, 10, 100, 249}) {
      EXPECT_FALSE(in_close_zone(no_icon, x, y)) << x << "," << y;
      EXPECT_FALSE(in_drag_region(no_icon, x, y)) << x << "," << y;
    }
  }
  splash_geometry nothing = compute_splash_geometry(false, 440, 250, true, 8, 8);
  EXPECT_EQ(nothing.width, 0);
  EXPECT_EQ(nothing.icon_x, 0);
  EXPECT_FALSE(in_close_zone(nothing, 1, 1));
}

TEST(SplashGeometry, NarrowPictureClampsTheZoneAtTheLeftEdge) {
  splash_geometry g = compute_splash_geometry(true, 20, 30, true, 8, 8);
  EXPECT_EQ(g.icon_x, 6);
  EXPECT_EQ(g.close_zone.left, 0);
  EXPECT_EQ(g.close_zone.right, 24);
}

TEST(SplashGeometry, ProgressBarWidth) {
  EXPECT_EQ(progress_bar_width(0, 100, 440), 5);
  EXPECT_EQ(progress_bar_width(50, 100, 440), 220);
  EXPECT_EQ(progress_bar_width(100, 100, 440), 440);
  EXPECT_EQ(progress_bar_width(150, 100, 440), 440);
  EXPECT_EQ(progress_bar_width(0, 0, 440), 0);
  EXPECT_EQ(progress_bar_width(7, 0, 440), 0);
  EXPECT_EQ(progress_bar_width(1, 3, 440), 146);  // truncated, not rounded
  EXPECT_EQ(progress_bar_width(1, 100, 440), 5);  // 4.4 is below the minimum
  EXPECT_EQ(progress_bar_width(2, 100, 440), 8);
  // Large counts (bytes of a big file) neither overflow nor pass the edge.
  EXPECT_EQ(progress_bar_width(UINT32_MAX, UINT32_MAX, 440), 440);
  EXPECT_EQ(progress_bar_width(UINT32_MAX - 1, UINT32_MAX, 440), 440);
  EXPECT_EQ(progress_bar_width(UINT32_MAX / 2, UINT32_MAX, 440), 220);
  EXPECT_EQ(progress_bar_width(1, UINT32_MAX, 440), 5);
}

TEST(SplashGeometry, CentresOnAnyMonitorIncludingNegativeOnes) {
  splash_point p = centre_in(splash_rect{0, 0, 1920, 1080}, 440, 250);
  EXPECT_EQ(p.x, 740);
  EXPECT_EQ(p.y, 415);
  // A monitor left of and above the primary one.
  p = centre_in(splash_rect{-1280, -1024, 0, 0}, 440, 250);
  EXPECT_EQ(p.x, -860);
  EXPECT_EQ(p.y, -637);
  p = centre_in(splash_rect{1920, 0, 3200, 1024}, 440, 250);
  EXPECT_EQ(p.x, 2340);
  EXPECT_EQ(p.y, 387);
  // A monitor smaller than the window: the window overhangs evenly.
  p = centre_in(splash_rect{0, 0, 400, 200}, 440, 250);
  EXPECT_EQ(p.x, -20);
  EXPECT_EQ(p.y, -25);
}

TEST(SplashGeometry, TextAndBarPlacement) {
  splash_geometry g = shipped();
  EXPECT_EQ(status_text_origin(g).x, 9);
  EXPECT_EQ(status_text_origin(g).y, 226);
  EXPECT_FLOAT_EQ(caption_origin_x(g, 100.5f), 330.5f);
  EXPECT_FLOAT_EQ(text_origin_y(g), 226.0f);
  splash_rect bar = progress_bar_rect(g, 220);
  EXPECT_EQ(bar.left, 0);
  EXPECT_EQ(bar.top, 247);
  EXPECT_EQ(bar.right, 220);
  EXPECT_EQ(bar.bottom, 253);
}

}  // namespace
}  // namespace tsl
