// The stop state that the console control handlers share with a maker run:
// the stop flag and the process-wide, manual-reset `maker finished event`.
// Threading: the handler thread sets the flag and waits on the event; the
// maker's main thread reads the flag between files and sets the event once.
#pragma once

#include <atomic>

#include "util/sync.h"

namespace tsl {

// Both exist from static initialisation on and are never destroyed, so a
// handler that ends the process from its own thread never meets a destroyed
// object.
std::atomic<bool>& maker_stop_flag();
event& maker_finished_event();

// Called by a console control handler before it sets the stop flag: after
// the main thread has set the finished event it leaves the exit to the
// handler, so the process ends with the handler's code and not with two
// racing exits.
void note_console_handler_running();
bool console_handler_running();

// The body of every console control handler: prints its line, sets the stop
// flag, waits for the finished event and ends the process with `exit_code`
// through the runtime's normal exit (standard output flushed).
[[noreturn]] void stop_maker_from_console(const char* message, int exit_code);

// The main thread's side once the event is set while a handler is running:
// it waits here for the handler to end the process.
[[noreturn]] void wait_for_console_handler_exit();

}  // namespace tsl
