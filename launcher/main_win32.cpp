#include <windows.h>

#include "launcher/entry.h"
#include "util/process.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return tsl::run_entry(tsl::process_command_line());
}
