#include <windows.h>

#include "launcher/message_box.h"
#include "launcher/message_box_divert.h"
#include "util/product.h"

namespace tsl {

void show_error_message(const std::wstring& text) {
  if (divert_message_box(text)) return;
  MessageBoxW(nullptr, text.c_str(), product_title, MB_OK | MB_ICONERROR | MB_SYSTEMMODAL);
}

}  // namespace tsl
