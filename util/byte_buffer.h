// A growable byte container with buffer counters (capacity, position, limit,
// mark). Threading: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>

namespace tsl {

class byte_buffer {
 public:
  static constexpr uint32_t no_mark = UINT32_MAX;
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
  uint32_t position() const { return position_; }
  uint32_t limit() const { return limit_; }
  uint32_t mark() const { return mark_; }
  uint32_t remaining() const { return limit_ > position_ ? limit_ - position_ : 0; }
  uint32_t flags() const { return flags_; }

  void clear() {
    position_ = 0;
    limit_ = capacity_;
    mark_ = no_mark;
  }
  void flip(uint32_t new_limit) {
    limit_ = new_limit;
    position_ = 0;
    mark_ = no_mark;
  }
  void set_position(uint32_t p) { position_ = p; }

  // Replaces the storage with exactly `capacity` bytes, keeping the contents.
  // False for a fixed-size buffer or when memory runs out.
  bool grow(uint32_t capacity);

 private:
  std::shared_ptr<uint8_t[]> storage_;
  uint32_t capacity_ = 0;
  uint32_t position_ = 0;
  uint32_t limit_ = 0;
  uint32_t mark_ = no_mark;
  uint32_t flags_ = 0;
};

}  // namespace tsl
