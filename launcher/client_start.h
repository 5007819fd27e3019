// Handing over at the end of launcher mode: starting the game client, or a
// fresh copy of the launcher after it replaced its own executable. Neither
// waits for the started process.
#pragma once

#include <cstdint>
#include <string>

namespace tsl {

// The client's command line: the quoted client path, then the launcher's own
// arguments as split (not re-quoted); its working directory is its own.
std::wstring client_command_line(const std::wstring& client_path,
                                 const std::wstring& launcher_command_line);
bool start_game_client(const std::wstring& client_path, uint32_t& error);
// The launcher's own command line unchanged, started in its own directory.
bool restart_launcher();

}  // namespace tsl
