// The process entry of both builds: splits the command line, matches the
// switches and runs the maker or the launcher. Returns the exit code.
#pragma once

#include <string>

namespace tsl {

int run_entry(const std::wstring& command_line);

}  // namespace tsl
