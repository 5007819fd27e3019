#include "maker/patch_maker.h"

#include <exception>
#include <random>

#include "maker/maker_console.h"
#include "maker/maker_guid.h"
#include "maker/maker_machine.h"
#include "maker/maker_run.h"
#include "maker/maker_signing.h"
#include "maker/maker_stop.h"
#include "util/process.h"
#include "util/text.h"

namespace tsl {

std::string guid_text(const guid_fields& guid) {
  return format_narrow("%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", guid.data1,
                       unsigned{guid.data2}, unsigned{guid.data3}, unsigned{guid.data4[0]},
                       unsigned{guid.data4[1]}, unsigned{guid.data4[2]}, unsigned{guid.data4[3]},
                       unsigned{guid.data4[4]}, unsigned{guid.data4[5]}, unsigned{guid.data4[6]},
                       unsigned{guid.data4[7]});
}

std::string make_guid_text() {
  guid_fields guid;
  if (!make_system_guid(guid)) {
    // Not expected; a configuration still needs a GUID that is not all zeros.
    std::random_device source;
    guid.data1 = source();
    guid.data2 = static_cast<uint16_t>(source());
    guid.data3 = static_cast<uint16_t>((source() & 0x0FFF) | 0x4000);
    for (auto& b : guid.data4) b = static_cast<uint8_t>(source());
    guid.data4[0] = static_cast<uint8_t>((guid.data4[0] & 0x3F) | 0x80);
  }
  return guid_text(guid);
}

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
