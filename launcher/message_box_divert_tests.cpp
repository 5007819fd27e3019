#include "launcher/message_box_common.h"

#include <cstdio>
#include <cstdlib>

#include "util/file_system.h"
#include "util/text.h"

namespace tsl {

bool log_message_for_tests(const std::wstring& text) {
#ifdef TSL_TEST_HOOKS
  const char* path = std::getenv("TSL_MESSAGE_LOG");
  if (!path || !*path) return false;
  std::FILE* f = open_c_file(utf8_to_wide(path), "ab");
  if (!f) return false;
  std::string line = wide_to_utf8(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), f);
  std::fclose(f);
  return true;
#else
  (void)text;
  return false;
#endif
}

}  // namespace tsl
