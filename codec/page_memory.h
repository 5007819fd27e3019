// Whole pages straight from the operating system, for the codec's large
// buffers (dictionary, match finder tables): they are committed and returned
// in one call each and never fragment the heap.
// Threading: any thread.
#pragma once

#include <cstddef>

namespace tsl {

// Read-write pages of at least `size` bytes, or nullptr.
void* allocate_pages(size_t size);
// Gives back a block from allocate_pages; `size` is the size asked for.
void release_pages(void* pages, size_t size);

}  // namespace tsl
