#include <cstdio>
#include <cstdlib>

#include "launcher/message_box_divert.h"
#include "util/file_system.h"
#include "util/text.h"

namespace tsl {

bool divert_message_box(const std::wstring& text) {
  const char* path = std::getenv("TSL_MESSAGE_LOG");
  if (!path || !*path) return false;
  std::FILE* f = open_c_file(utf8_to_wide(path), "ab");
  if (!f) return false;
  std::string line = wide_to_utf8(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), f);
  std::fclose(f);
  return true;
}

}  // namespace tsl
