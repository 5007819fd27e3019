#include "maker/maker_machine.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace tsl {

bool progress_terminal() { return isatty(STDERR_FILENO) == 1; }

void write_progress_text(const std::string& text) {
  size_t at = 0;
  while (at < text.size()) {
    const ssize_t n = write(STDERR_FILENO, text.data() + at, text.size() - at);
    if (n <= 0) return;  // a progress line is not worth a failure
    at += static_cast<size_t>(n);
  }
}

}  // namespace tsl
