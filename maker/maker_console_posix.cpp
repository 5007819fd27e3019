#include "maker/maker_console.h"

#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <thread>

#include "maker/maker_stop.h"

namespace tsl {

namespace {

sigset_t control_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

// Plays the console control thread: a signal handler may not wait on a
// condition variable, a thread that takes the signals with sigwait may.
void control_thread(sigset_t set) {
  for (;;) {
    int signal_number = 0;
    if (sigwait(&set, &signal_number) != 0) continue;
    if (signal_number == SIGINT) {
      stop_maker_from_console("Interrupted! Terminating threads...\n", 1);
    }
    stop_maker_from_console("Closed! Terminating threads...\n", 2);
  }
}

}  // namespace

void attach_maker_console() {
  // The maker runs in the terminal it was started from.
}

void install_console_control_handlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Blocked before any other thread exists (the encoder's threads come
    // later and inherit the mask), so only the control thread takes them.
    sigset_t set = control_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(control_thread, set).detach();
  });
}

void run_pause() {
  std::fputs("Press any key to continue . . . ", stdout);
  std::fflush(stdout);
  termios saved{};
  bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  }
  char key = 0;
  ssize_t got = read(STDIN_FILENO, &key, 1);
  (void)got;
  if (terminal) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  std::fputs("\n", stdout);
  std::fflush(stdout);
}

}  // namespace tsl
