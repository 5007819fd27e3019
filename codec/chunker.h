// Content-defined chunks: a byte stream is cut where a rolling hash of its
// last 64 bytes meets a mask (FastCDC with normalised chunking), so an
// insertion or a deletion moves only the cuts next to it and both tools,
// on any build, cut the same bytes alike. The maker cuts what it publishes;
// a launcher cuts the file it already has with the same sizes and finds the
// chunks it need not fetch.
// Threading: a chunker belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "codec/byte_stream.h"

namespace tsl {

struct chunk_sizes {
  uint32_t minimum = 0;  // no cut before (only the last chunk may be shorter)
  uint32_t average = 0;  // a power of two: where the mask eases
  uint32_t maximum = 0;  // always a cut here
};

// The sizes a chunk map may state: the average a power of two from 4 KiB to
// 4 MiB, the minimum at least 1 KiB and below it, the maximum above it and
// at most 16 MiB (the dictionary of a packed file).
bool valid_chunk_sizes(const chunk_sizes& sizes);
// The sizes of one average: a quarter of it at least, four times at most.
chunk_sizes chunk_sizes_of(uint32_t average);

// Finds the cuts of one stream fed in pieces of any size; the cuts never
// depend on how the stream was split.
class chunker {
 public:
  explicit chunker(const chunk_sizes& sizes);

  // How many of `size` bytes belong to the current chunk. `cut` tells that
  // the chunk ends after them; the next byte then starts a new one.
  size_t scan(const uint8_t* bytes, size_t size, bool& cut);
  // Bytes of the current chunk so far (at the end of the stream: the last
  // chunk's length, 0 when the stream ended on a cut).
  uint64_t pending() const { return length_; }
  // Starts a new stream.
  void reset() {
    length_ = 0;
    hash_ = 0;
  }

 private:
  chunk_sizes sizes_;
  uint64_t mask_strict_ = 0;  // before the average: more bits, fewer cuts
  uint64_t mask_eased_ = 0;   // after it: fewer bits, more cuts
  uint64_t length_ = 0;
  uint64_t hash_ = 0;
};

// One chunk of a stream with the SHA-256 of its bytes.
struct found_chunk {
  uint64_t offset = 0;
  uint64_t length = 0;
  uint8_t sha256[32] = {};
};

// Cuts everything `source` gives, handing each chunk to `found` in order,
// with memory bounded whatever the stream's length. False when the source
// fails or `found` returns false.
bool chunk_stream(const byte_source& source, const chunk_sizes& sizes,
                  const std::function<bool(const found_chunk&)>& found);

}  // namespace tsl
