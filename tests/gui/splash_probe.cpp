// A small Windows program that shows the real splash window and takes
// commands on standard input, so a driver outside Wine can look at the window
// on the X display, click it and drag it. One reply line per command.
//   status <text>            set_status_text
//   progress <current> <total>
//   caption <text>
//   state                    -> "state closed=0|1 thread=0|1 paints=N"
//   close                    -> "closed ms=N thread=0|1"
//   burst <n>                n progress and status changes ("Checking file
//                            'Item i.dat'") -> "burst ms=N shown_ms=N paints=N":
//                            how long the changes took, when the last one was
//                            painted (-1: not within 10 s of the last change),
//                            paints meanwhile
//   paint <n>                the same with a flush after every change
//   whole <n>                n full repaints of the window -> "whole ms=N paints=N"
//   quit
// Options: --no-close-icon, --no-background, --wait-ms N.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "ui/splash_window_testing.h"
#include "util/product.h"
#include "util/text.h"

namespace {

double now_ms() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::wstring item_status(unsigned long i) {
  return L"Checking file 'Item " + std::to_wstring(i) + L".dat'";
}

void reply(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  tsl::splash_options options;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg == L"--no-close-icon") options.close_icon_id = 9999;
    if (arg == L"--no-background") options.background_id = 9999;
    if (arg == L"--wait-ms" && i + 1 < argc) options.wait_ms = std::wcstoul(argv[++i], nullptr, 10);
  }
  tsl::testable_splash splash(options);
  splash.set_status_text(L"Starting...");
  splash.set_caption(tsl::product_site_caption);
  ULONGLONG started = GetTickCount64();
  splash.start();
  reply("started ms=" + std::to_string(GetTickCount64() - started) +
        " thread=" + (splash.ui_thread_running() ? "1" : "0"));

  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string command = line.substr(0, line.find(' '));
    std::string rest = line.size() > command.size() ? line.substr(command.size() + 1) : "";
    if (command == "status") {
      splash.set_status_text(tsl::utf8_to_wide(rest));
      reply("ok");
    } else if (command == "progress") {
      unsigned long current = 0, total = 0;
      std::sscanf(rest.c_str(), "%lu %lu", &current, &total);
      splash.set_progress(static_cast<uint32_t>(current), static_cast<uint32_t>(total));
      reply("ok");
    } else if (command == "caption") {
      splash.set_caption(tsl::utf8_to_wide(rest));
      splash.repaint();
      reply("ok");
    } else if (command == "state") {
      reply(std::string("state closed=") + (splash.is_closed() ? "1" : "0") +
            " thread=" + (splash.ui_thread_running() ? "1" : "0") +
            " paints=" + std::to_string(splash.paint_count()));
    } else if (command == "close") {
      ULONGLONG t = GetTickCount64();
      splash.close();
      reply("closed ms=" + std::to_string(GetTickCount64() - t) +
            " thread=" + (splash.ui_thread_running() ? "1" : "0"));
    } else if (command == "burst" || command == "paint") {
      // A burst leaves the pacing to the window; "paint" has every change
      // painted before the next, as a synchronous repaint would.
      const unsigned long n = std::strtoul(rest.c_str(), nullptr, 10);
      const uint32_t before = splash.paint_count();
      const std::wstring last = item_status(n);
      const double started = now_ms();
      for (unsigned long i = 1; i <= n; ++i) {
        splash.set_progress(static_cast<uint32_t>(i), static_cast<uint32_t>(n));
        splash.set_status_text(item_status(i));
        if (command == "paint") splash.flush();
      }
      const double ended = now_ms();
      const uint32_t during = splash.paint_count() - before;
      double shown = -1;
      // Counted from the last change: on a slow machine the changes alone
      // can take longer than the wait.
      while (now_ms() - ended < 10000) {
        if (splash.painted_status_text() == last) {
          shown = now_ms() - started;
          break;
        }
        Sleep(1);
      }
      reply(command + " ms=" + std::to_string(ended - started) +
            " shown_ms=" + std::to_string(shown) + " paints=" + std::to_string(during));
    } else if (command == "whole") {
      // The window's own full repaint, for measuring it.
      const unsigned long n = std::strtoul(rest.c_str(), nullptr, 10);
      HWND window = FindWindowW(L"TessalySplashWnd", nullptr);
      const uint32_t before = splash.paint_count();
      const double started = now_ms();
      for (unsigned long i = 0; window && i < n; ++i) {
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
      }
      reply("whole ms=" + std::to_string(now_ms() - started) +
            " paints=" + std::to_string(splash.paint_count() - before));
    } else if (command == "quit") {
      break;
    } else {
      reply("unknown " + command);
    }
  }
  splash.close();
  return 0;
}
