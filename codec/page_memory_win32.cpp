#include "codec/page_memory.h"

#include <windows.h>

namespace tsl {

void* allocate_pages(size_t size) {
  return VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void release_pages(void* pages, size_t) {
  if (pages) VirtualFree(pages, 0, MEM_RELEASE);
}

}  // namespace tsl
