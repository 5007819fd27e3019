// Behaviour both builds share: the real window under Wine, the console
// stand-in natively.
#include "ui/splash_window_testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "util/product.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace tsl {
namespace {

// The console stand-in writes to standard error; these tests only look at
// the object's state, so its lines go nowhere. The window writes nothing.
class quiet_stderr {
 public:
  quiet_stderr() {
#ifndef _WIN32
    std::fflush(stderr);
    saved_ = dup(2);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 2);
    ::close(null_fd);
#endif
  }
  ~quiet_stderr() {
#ifndef _WIN32
    dup2(saved_, 2);
    ::close(saved_);
#endif
  }

 private:
  int saved_ = -1;
};

TEST(SplashWindow, StateIsKeptBeforeStartAndNothingIsPainted) {
  testable_splash splash;
  std::vector<std::wstring> seen;
  splash.set_status_observer([&](const std::wstring& text) { seen.push_back(text); });
  splash.set_status_text(L"Starting...");
  splash.set_caption(product_site_caption);
  splash.set_progress(3, 10);
  EXPECT_EQ(splash.status_text(), L"Starting...");
  EXPECT_EQ(splash.caption(), std::wstring(L"\u00abtessaly-reach.com\u00bb"));
  uint32_t current = 0, total = 0;
  splash.progress(current, total);
  EXPECT_EQ(current, 3u);
  EXPECT_EQ(total, 10u);
  EXPECT_EQ(seen, std::vector<std::wstring>{L"Starting..."});
  EXPECT_EQ(splash.paint_count(), 0u);  // no window yet
  EXPECT_FALSE(splash.is_closed());
  EXPECT_FALSE(splash.ui_thread_running());
}

TEST(SplashWindow, CloseWithoutStartSetsClosedAndIsFinal) {
  testable_splash splash;
  splash.close();
  EXPECT_TRUE(splash.is_closed());
  splash.close();  // a second close is harmless
  // A start after close shows nothing and does not wait.
  splash.start();
  EXPECT_FALSE(splash.ui_thread_running());
  splash.set_status_text(L"dropped");
  EXPECT_EQ(splash.paint_count(), 0u);
}

TEST(SplashWindow, DestructorClosesAStartedWindow) {
  quiet_stderr quiet;
  auto splash = std::make_unique<CSplashWnd>();
  splash->set_status_text(L"Starting...");
  splash->start();
  splash.reset();  // must not hang or leave a thread behind
  SUCCEED();
}

TEST(SplashWindow, StartPaintsTheFirstStatusAndFlushPaintsTheNewest) {
  quiet_stderr quiet;
  testable_splash splash;
  splash.set_status_text(L"Starting...");
  splash.start();
  EXPECT_GE(splash.paint_count(), 1u);
  EXPECT_EQ(splash.painted_status_text(), L"Starting...");
  for (int i = 0; i < 5; ++i) {
    splash.set_progress(i, 5);
    splash.set_status_text(L"Checking " + std::to_wstring(i));
    splash.flush();
    EXPECT_EQ(splash.painted_status_text(), L"Checking " + std::to_wstring(i));
  }
  uint32_t painted = splash.paint_count();
  splash.flush();  // nothing new: nothing to paint
  EXPECT_EQ(splash.paint_count(), painted);
  EXPECT_FALSE(splash.is_closed());
  splash.close();
  EXPECT_TRUE(splash.is_closed());
  EXPECT_FALSE(splash.ui_thread_running());
  uint32_t after_close = splash.paint_count();
  splash.set_status_text(L"after close");
  splash.flush();
  EXPECT_EQ(splash.paint_count(), after_close);
}

// A caller never waits for more than one paint per frame, and the last
// state of a burst shows without anybody asking again.
TEST(SplashWindow, BurstIsPaintedAtFrameRateAndEndsOnItsLastState) {
  quiet_stderr quiet;
  testable_splash splash;
  splash.set_status_text(L"Starting...");
  splash.start();
  constexpr int changes = 1000;
  const uint32_t before = splash.paint_count();
  const auto started = std::chrono::steady_clock::now();
  for (int i = 1; i <= changes; ++i) {
    splash.set_progress(i, changes);
    splash.set_status_text(L"Checking file 'Item " + std::to_wstring(i) + L".dat'");
  }
  const auto took = std::chrono::steady_clock::now() - started;
  const uint32_t during = splash.paint_count() - before;
  const auto frames = static_cast<uint32_t>(took / std::chrono::milliseconds(16));
  EXPECT_LE(during, frames + 2) << "paints beyond the frame rate";
  EXPECT_LT(during, static_cast<uint32_t>(changes) / 10);

  const std::wstring last = L"Checking file 'Item 1000.dat'";
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (splash.painted_status_text() != last && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(splash.painted_status_text(), last);
  splash.close();
}

// Several workers replace the text and progress while the display paints
// them; nothing may crash, deadlock or read a half-replaced text.
TEST(SplashWindow, ConcurrentUpdatesNeverTear) {
  quiet_stderr quiet;
  testable_splash splash;
  splash.set_caption(product_site_caption);
  splash.set_status_text(L"Starting...");
  splash.start();

  constexpr int workers = 4;
  constexpr int steps = 50;
  auto text_of = [](int worker, int step) {
    // Long enough that a torn copy would show.
    return L"worker " + std::to_wstring(worker) + L" step " + std::to_wstring(step) + L" " +
           std::wstring(40 + worker * 10, static_cast<wchar_t>(L'a' + worker));
  };
  auto well_formed = [&](const std::wstring& text) {
    if (text == L"Starting...") return true;
    int worker = -1, step = -1;
    if (swscanf(text.c_str(), L"worker %d step %d", &worker, &step) != 2) return false;
    return worker >= 0 && worker < workers && text == text_of(worker, step);
  };

  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done.load()) {
      if (!well_formed(splash.status_text())) torn.fetch_add(1);
      uint32_t current = 0, total = 0;
      splash.progress(current, total);
      if (total != 0 && total != steps) torn.fetch_add(1);
    }
  });
  std::vector<std::thread> threads;
  for (int w = 0; w < workers; ++w) {
    threads.emplace_back([&, w] {
      for (int s = 0; s < steps; ++s) {
        splash.set_progress(s, steps);
        splash.set_status_text(text_of(w, s));
        (void)splash.is_closed();
      }
    });
  }
  for (auto& t : threads) t.join();
  done.store(true);
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_TRUE(well_formed(splash.status_text()));
  splash.flush();
  EXPECT_EQ(splash.painted_status_text(), splash.status_text());
  splash.close();
  EXPECT_TRUE(splash.is_closed());
  EXPECT_FALSE(splash.ui_thread_running());
}

}  // namespace
}  // namespace tsl
