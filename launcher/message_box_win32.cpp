#include <windows.h>

#include "launcher/message_box.h"
#include "launcher/message_box_common.h"
#include "util/product.h"

namespace tsl {

void show_error_message(const std::wstring& text) {
  if (log_message_for_tests(text)) return;
  MessageBoxW(nullptr, text.c_str(), product_title, MB_OK | MB_ICONERROR | MB_SYSTEMMODAL);
}

}  // namespace tsl
