#include "launcher/client_start.h"

#include "util/command_line.h"
#include "util/process.h"
#include "util/text.h"

namespace tsl {

std::wstring client_command_line(const std::wstring& client_path,
                                 const std::wstring& launcher_command_line) {
  std::vector<std::wstring> arguments = split_command_line(launcher_command_line);
  std::vector<std::wstring> parts{L"\"" + client_path + L"\""};
  for (size_t i = 1; i < arguments.size(); ++i) parts.push_back(arguments[i]);
  return join_strings(parts, L" ");
}

bool start_game_client(const std::wstring& client_path, uint32_t& error) {
  return start_process(client_command_line(client_path, process_command_line()),
                       directory_of(client_path), error);
}

bool restart_launcher() {
  uint32_t error = 0;
  return start_process(process_command_line(), executable_directory(), error);
}

}  // namespace tsl
