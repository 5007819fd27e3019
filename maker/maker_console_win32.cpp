#include "maker/maker_console.h"

#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "maker/maker_stop.h"

namespace tsl {

namespace {

// The C runtime calls these on the console control thread that the system
// creates for each event, while the main thread keeps working.
void on_interrupt(int) { stop_maker_from_console("Interrupted! Terminating threads...\n", 1); }
void on_break(int) { stop_maker_from_console("Closed! Terminating threads...\n", 2); }

}  // namespace

void attach_maker_console() {
  AllocConsole();
  if (!std::freopen("CONOUT$", "w", stdout)) return;
  // Printed names are UTF-8.
  SetConsoleOutputCP(CP_UTF8);
}

void install_console_control_handlers() {
  std::signal(SIGINT, on_interrupt);
  std::signal(SIGBREAK, on_break);
}

void run_pause() { std::system("pause"); }

}  // namespace tsl
