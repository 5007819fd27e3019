#include "maker/patch_maker.h"

#include <exception>

#include "maker/maker_console.h"
#include "maker/maker_machine.h"
#include "maker/maker_run.h"
#include "maker/maker_signing.h"
#include "maker/maker_stop.h"
#include "util/process.h"
#include "util/text.h"

namespace tsl {

bool run_key_maker() {
  return generate_signing_keys(maker_paths::beside(executable_directory()), print_console_line);
}

bool run_patch_maker(bool publish_unsigned) {
  event& finished = maker_finished_event();
  finished.reset();
  install_console_control_handlers();
  bool ok = false;
  try {
    maker_run run(maker_paths::beside(executable_directory()), maker_stop_flag(),
                  print_console_line);
    if (progress_terminal()) run.set_progress_writer(write_progress_text);
    run.set_unsigned_allowed(publish_unsigned);
    ok = run.run();
  } catch (const std::exception& e) {
    // Nothing in the run is meant to throw; if something does (out of
    // memory), say so instead of ending the process by surprise.
    print_console_line(format_narrow("Exception: %s\n", e.what()));
    ok = false;
  }
  finished.set();
  // A console control handler is waiting to end the process with its code.
  if (console_handler_running()) wait_for_console_handler_exit();
  return ok;
}

}  // namespace tsl
