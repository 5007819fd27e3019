#include "maker/maker_machine.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace tsl {

uint64_t available_memory() {
  // MemAvailable counts the page cache that can be given back; the free
  // pages of sysconf do not, and on a build server that has read much they
  // are few.
  if (FILE* meminfo = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    unsigned long long kib = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, meminfo)) {
      found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
    }
    std::fclose(meminfo);
    if (found) return kib * 1024;
  }
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}

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
