// The command-line switches, matched whole and ignoring ASCII case.
#pragma once

#include <string>
#include <vector>

namespace tsl {

struct launcher_switches {
  bool maker = false;   // -patchmaker
  bool genkey = false;  // -genkey (maker mode only): make a signing key pair
  // -unsigned (maker mode only): publish unsigned over a signed publication
  bool publish_unsigned = false;
  bool pause = false;      // -sleep (maker mode only)
  bool no_update = false;  // -noupdate (launcher mode only)
  bool verify = false;     // -verify (launcher mode only): hash every installed file
  // -maxrate=<KiB/s> (launcher mode only): the cap on what all downloads
  // receive together; 0 lifts a cap the settings file sets.
  bool max_rate_given = false;
  uint64_t max_rate_kib = 0;
};

// `arguments` without the program path.
launcher_switches match_switches(const std::vector<std::wstring>& arguments);

}  // namespace tsl
