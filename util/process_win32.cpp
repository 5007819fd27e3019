#include <windows.h>

#include <algorithm>

#include <vector>

#include "util/process.h"
#include "util/text.h"

namespace tsl {

std::wstring image_path() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::wstring();
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

std::wstring executable_directory() { return directory_of(image_path()); }

std::wstring process_command_line() {
  const wchar_t* line = GetCommandLineW();
  return line ? line : L"";
}

bool start_process(const std::wstring& command_line, const std::wstring& working_directory,
                   uint32_t& error) {
  std::vector<wchar_t> writable(command_line.begin(), command_line.end());
  writable.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      working_directory.empty() ? nullptr : working_directory.c_str(), &startup,
                      &info)) {
    error = GetLastError();
    return false;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

bool set_environment_variable(const std::wstring& name, const std::wstring& value) {
  return SetEnvironmentVariableW(name.c_str(), value.c_str()) != 0;
}

uint16_t query_system_language() { return GetSystemDefaultLangID(); }

void sleep_milliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

uint32_t current_process_id() { return GetCurrentProcessId(); }

uint64_t available_memory() {
  MEMORYSTATUSEX status;
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return 0;
  // The PE32 product has 2 GiB of address space at most, whatever the
  // machine holds.
  return std::min<uint64_t>(status.ullAvailPhys, status.ullAvailVirtual);
}

}  // namespace tsl
