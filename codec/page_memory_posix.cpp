#include "codec/page_memory.h"

#include <sys/mman.h>

namespace tsl {

void* allocate_pages(size_t size) {
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void release_pages(void* pages, size_t size) {
  if (pages) munmap(pages, size);
}

}  // namespace tsl
