// A small Windows program that shows the real splash window and takes
// commands on standard input, so a driver outside Wine can look at the window
// on the X display, click it and drag it. One reply line per command.
//   status <text>            set_status_text
//   progress <current> <total>
//   caption <text>
//   state                    -> "state closed=0|1 thread=0|1 paints=N"
//   close                    -> "closed ms=N thread=0|1"
//   quit
// Options: --no-close-icon, --no-background, --wait-ms N.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "ui/splash_window.h"
#include "util/product.h"
#include "util/text.h"

namespace {

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
  tsl::CSplashWnd splash(options);
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
      unsigned long n = std::strtoul(rest.c_str(), nullptr, 10);
      uint32_t before = splash.paint_count();
      LARGE_INTEGER f, t0, t1;
      QueryPerformanceFrequency(&f);
      QueryPerformanceCounter(&t0);
      for (unsigned long i = 1; i <= n; ++i) {
        splash.set_progress(static_cast<uint32_t>(i), static_cast<uint32_t>(n));
        splash.set_status_text(L"Checking file 'Item " + std::to_wstring(i) + L".dat'");
        if (command == "paint") splash.flush();
      }
      QueryPerformanceCounter(&t1);
      double ms =
          1000.0 * static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(f.QuadPart);
      reply(command + " ms=" + std::to_string(ms) +
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
