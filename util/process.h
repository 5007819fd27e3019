// Process services: own image and command line, starting processes, the
// environment and the system language. Threading: any thread.
#pragma once

#include <cstdint>
#include <string>

namespace tsl {

// Full path of the running executable, as the process was started.
std::wstring image_path();
// Directory of image_path(); the launcher finds its files there, never in
// the working directory.
std::wstring executable_directory();
// The process's whole command line as one text. On POSIX it is rebuilt from
// argv with quoting that split_command_line undoes.
std::wstring process_command_line();
// Starts `command_line` (program taken from its first argument) in
// `working_directory` with this process's environment and show command 5,
// without waiting. On failure `error` receives the system's error code.
bool start_process(const std::wstring& command_line, const std::wstring& working_directory,
                   uint32_t& error);
bool set_environment_variable(const std::wstring& name, const std::wstring& value);
// The system default language identifier (Windows LANGID). POSIX maps the
// locale (LC_ALL, LC_MESSAGES, LANG) onto the same identifiers.
uint16_t query_system_language();
void sleep_milliseconds(uint32_t milliseconds);
// The bytes a new coder could still get: free physical memory, and on a
// 32-bit build the free address space too, whichever is less; 0 if unknown.
uint64_t available_memory();
uint32_t current_process_id();

}  // namespace tsl
