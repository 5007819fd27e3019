#include "maker/maker_stop.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "maker/maker_progress.h"

namespace tsl {

namespace {

struct stop_state {
  std::atomic<bool> stop{false};
  std::atomic<bool> handler_running{false};
  event finished{true};
};

// Made during static initialisation, before the entry runs, and kept for the
// life of the process (deliberately never destroyed).
stop_state* const state = new stop_state();

}  // namespace

std::atomic<bool>& maker_stop_flag() { return state->stop; }
event& maker_finished_event() { return state->finished; }

void note_console_handler_running() { state->handler_running = true; }
bool console_handler_running() { return state->handler_running; }

void stop_maker_from_console(const char* message, int exit_code) {
  note_console_handler_running();
  // Not at the end of the progress line that the same console shows.
  if (progress_line_shown()) std::fputs("\n", stdout);
  std::fputs(message, stdout);
  std::fflush(stdout);
  state->stop = true;
  state->finished.wait();
  std::fflush(stdout);
  std::exit(exit_code);
}

void wait_for_console_handler_exit() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace tsl
