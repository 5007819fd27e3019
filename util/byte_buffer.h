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
  enum flags : uint32_t { fixed_size = 1 };

  byte_buffer() = default;
  // A fixed-size buffer gets its storage here and never grows afterwards.
  explicit byte_buffer(uint32_t capacity, uint32_t flags = 0) {
    grow(capacity);
    flags_ = flags;
  }

  uint8_t* data() { return storage_.get(); }
  const uint8_t* data() const { return storage_.get(); }
  uint32_t capacity() const { return capacity_; }

  // Replaces the storage with exactly `capacity` bytes, keeping the contents
  // that fit. False for a fixed-size buffer or when memory runs out.
  bool grow(uint32_t capacity) {
    if (flags_ & fixed_size) return false;
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
  uint32_t flags_ = 0;
};

}  // namespace tsl
