#include "maker/maker_machine.h"

#include <windows.h>

namespace tsl {

namespace {

HANDLE error_console() {
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr || !GetConsoleMode(handle, &mode)) {
    return nullptr;
  }
  return handle;
}

}  // namespace

bool progress_terminal() { return error_console() != nullptr; }

void write_progress_text(const std::string& text) {
  HANDLE handle = error_console();
  if (!handle) return;
  DWORD written = 0;
  WriteConsoleA(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace tsl
