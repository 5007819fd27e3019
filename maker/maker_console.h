// The maker's console: attaching one (Windows GUI programs have none), the
// control handlers that stop a run, and the closing "pause".
// Threading: the handlers run on the system's console control thread
// (Windows) or a signal-waiting thread (POSIX).
#pragma once

namespace tsl {

// Windows: a new console with standard output reopened on "CONOUT$".
// POSIX: the maker runs in the terminal it was started from; nothing to do.
void attach_maker_console();

// Installs the handlers: interrupt prints "Interrupted! Terminating threads...\n"
// and exits with 1; break/close (SIGTERM, SIGHUP on POSIX) prints
// "Closed! Terminating threads...\n" and exits with 2. Both set the stop flag
// and wait for the maker finished event first.
void install_console_control_handlers();

// The shell's "pause": waits for a key.
void run_pause();

}  // namespace tsl
