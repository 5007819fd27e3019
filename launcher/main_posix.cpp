#include <clocale>

#include "launcher/entry.h"
#include "util/process.h"

int main() {
  std::setlocale(LC_ALL, "");
  return tsl::run_entry(tsl::process_command_line());
}
