// Streams of bytes between the codec and its callers: a source fills up to
// `room` bytes and sets `got` (0 at the end); a sink takes bytes. False
// from either is a failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace tsl {

using byte_source = std::function<bool(uint8_t* bytes, uint32_t room, uint32_t& got)>;
using byte_sink = std::function<bool(const uint8_t* bytes, size_t size)>;

}  // namespace tsl
