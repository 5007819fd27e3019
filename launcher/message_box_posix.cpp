#include <cstdio>

#include "launcher/message_box.h"
#include "launcher/message_box_divert.h"
#include "util/product.h"
#include "util/text.h"

namespace tsl {

void show_error_message(const std::wstring& text) {
  if (divert_message_box(text)) return;
  std::string line = wide_to_utf8(std::wstring(product_title) + L": " + text) + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace tsl
