// What the maker asks of the machine it runs on: the standard error stream
// that carries the progress line.
// Threading: reentrant; write_progress_text from one thread at a time.
#pragma once

#include <cstdint>
#include <string>

namespace tsl {

// True when standard error is an interactive console or terminal.
bool progress_terminal();

// Writes `text` (ASCII, "\r" included) to standard error unbuffered.
void write_progress_text(const std::string& text);

}  // namespace tsl
