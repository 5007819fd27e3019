// A growable block of bytes with shared ownership of its storage, reused
// from file to file by the digest so that hashing many files allocates once.
// Threading: one thread at a time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

namespace tsl {

class byte_buffer {
 public:
  byte_buffer() = default;

  uint8_t* data() { return storage_.get(); }
  const uint8_t* data() const { return storage_.get(); }
  uint32_t capacity() const { return capacity_; }

  // Replaces the storage with exactly `capacity` bytes, keeping the contents
  // that fit. False when memory runs out.
  bool grow(uint32_t capacity) {
    std::shared_ptr<uint8_t[]> fresh(new (std::nothrow) uint8_t[capacity ? capacity : 1]);
    if (!fresh) return false;
    const uint32_t keep = std::min(capacity_, capacity);
    if (keep) std::copy(storage_.get(), storage_.get() + keep, fresh.get());
    storage_ = std::move(fresh);
    capacity_ = capacity;
    return true;
  }

 private:
  std::shared_ptr<uint8_t[]> storage_;
  uint32_t capacity_ = 0;
};

}  // namespace tsl
