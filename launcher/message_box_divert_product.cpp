#include "launcher/message_box_divert.h"

namespace tsl {

bool divert_message_box(const std::wstring&) { return false; }

}  // namespace tsl
