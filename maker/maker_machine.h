// What the maker asks of the machine it runs on: its memory, and the
// standard error stream that carries the progress line.
// Threading: reentrant; write_progress_text from one thread at a time.
#pragma once

#include <cstdint>
#include <string>

namespace tsl {

// The bytes a new coder could still get: free physical memory, and on a
// 32-bit build the free address space too, whichever is less; 0 if unknown.
uint64_t available_memory();

// True when standard error is an interactive console or terminal.
bool progress_terminal();

// Writes `text` (ASCII, "\r" included) to standard error unbuffered.
void write_progress_text(const std::string& text);

}  // namespace tsl
