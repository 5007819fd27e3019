// The player's settings file beside the launcher, "launcher.ini": lines of
// `name = value`, '#' or ';' starting a comment line. Read:
//   maxrate = <KiB/s>   the cap on what all downloads receive together (0: none)
//   transfers = <n>     files in flight at once (1 to 64)
// Anything else, and a value that is no whole number in range, is ignored,
// so a file from a later launcher never stops this one.
// Threading: reentrant.
#pragma once

#include <cstdint>
#include <string>

namespace tsl {

struct launcher_settings {
  uint64_t max_rate_kib = 0;
  uint32_t transfers = 0;  // 0: the launcher's own choice
};

launcher_settings parse_launcher_settings(const std::string& text);
// The file beside the executable; defaults when it is missing.
launcher_settings read_launcher_settings(const std::wstring& path);

}  // namespace tsl
