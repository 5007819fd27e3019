// The entry's error messages: a system-modal message box with the error icon
// and the product title, without owner. The native build writes the text to
// standard error. Test builds write it to the file named by TSL_MESSAGE_LOG
// instead, so tests can read it without a person clicking.
#pragma once

#include <string>

namespace tsl {

void show_error_message(const std::wstring& text);

}  // namespace tsl
