// Internal to the launcher's message boxes: whether a message goes somewhere
// else than the screen. The product shows every one; a test build (the
// implementation is chosen at link time) writes them to the file that
// TSL_MESSAGE_LOG names, for the end-to-end tests to read.
#pragma once

#include <string>

namespace tsl {

// True when the text went elsewhere and no box is to be shown.
bool divert_message_box(const std::wstring& text);

}  // namespace tsl
