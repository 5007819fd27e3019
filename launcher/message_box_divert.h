// Internal: the test-build hook shared by both message-box implementations.
#pragma once

#include <string>

namespace tsl {

// True when the text went to the test log instead of the screen.
bool log_message_for_tests(const std::wstring& text);

}  // namespace tsl
