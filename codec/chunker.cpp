#include "codec/chunker.h"

#include <algorithm>
#include <memory>
#include <new>

#include "codec/signature.h"

namespace tsl {

namespace {

// The gear table: 256 fixed pseudo-random words, made at compile time from
// a fixed seed. Changing either changes every cut, and with it what every
// launcher finds of an installed file: never change them (a test pins a
// few cuts).
struct gear_table {
  uint64_t word[256];
};

constexpr gear_table make_gear_table() {
  gear_table table{};
  uint64_t state = 0x7e55a1e7c4d3f00dull;
  for (auto& word : table.word) {
    // splitmix64
    state += 0x9e3779b97f4a7c15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    word = z ^ (z >> 31);
  }
  return table;
}

constexpr gear_table gear = make_gear_table();

int bits_of(uint32_t power_of_two) {
  int bits = 0;
  while ((uint32_t{1} << bits) < power_of_two) ++bits;
  return bits;
}

// The top `n` bits: each hash bit k depends on the last k + 1 bytes, so the
// top ones see the whole 64-byte window.
uint64_t top_bits(int n) { return n <= 0 ? 0 : ~uint64_t{0} << (64 - n); }

}  // namespace

bool valid_chunk_sizes(const chunk_sizes& sizes) {
  const uint32_t average = sizes.average;
  return average >= (4u << 10) && average <= (4u << 20) && (average & (average - 1)) == 0 &&
         sizes.minimum >= (1u << 10) && sizes.minimum < average && sizes.maximum > average &&
         sizes.maximum <= (16u << 20);
}

chunk_sizes chunk_sizes_of(uint32_t average) {
  chunk_sizes sizes;
  sizes.minimum = average / 4;
  sizes.average = average;
  sizes.maximum = average * 4;
  return sizes;
}

chunker::chunker(const chunk_sizes& sizes) : sizes_(sizes) {
  // Normalised chunking: two bits more before the average and two fewer
  // after it keep chunk lengths close to the average.
  const int bits = bits_of(sizes.average);
  mask_strict_ = top_bits(bits + 2);
  mask_eased_ = top_bits(bits - 2);
}

size_t chunker::scan(const uint8_t* bytes, size_t size, bool& cut) {
  cut = false;
  size_t i = 0;
  // Nothing before the minimum can end a chunk: those bytes are not hashed.
  if (length_ < sizes_.minimum) {
    const size_t skip = static_cast<size_t>(std::min<uint64_t>(size, sizes_.minimum - length_));
    i += skip;
    length_ += skip;
  }
  uint64_t hash = hash_;
  uint64_t length = length_;
  const auto ends = [&](uint64_t mask) {
    hash = (hash << 1) + gear.word[bytes[i]];
    ++i;
    ++length;
    return (hash & mask) == 0;
  };
  bool found = false;
  while (i < size && length < sizes_.average && !found) found = ends(mask_strict_);
  while (i < size && length < sizes_.maximum && !found) found = ends(mask_eased_);
  if (found || length >= sizes_.maximum) {
    cut = true;
    reset();
    return i;
  }
  hash_ = hash;
  length_ = length;
  return i;
}

bool chunk_stream(const byte_source& source, const chunk_sizes& sizes,
                  const std::function<bool(const found_chunk&)>& found) {
  constexpr uint32_t piece = 1u << 20;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[piece]);
  if (!buffer) return false;
  chunker cutter(sizes);
  sha256_stream digest;
  found_chunk chunk;
  for (;;) {
    uint32_t got = 0;
    if (!source(buffer.get(), piece, got)) return false;
    if (got == 0) break;
    for (size_t done = 0; done < got;) {
      bool cut = false;
      const size_t n = cutter.scan(buffer.get() + done, got - done, cut);
      digest.add(buffer.get() + done, n);
      chunk.length += n;
      done += n;
      if (!cut) continue;
      digest.finish(chunk.sha256);
      if (!found(chunk)) return false;
      chunk.offset += chunk.length;
      chunk.length = 0;
    }
  }
  if (chunk.length == 0) return true;
  digest.finish(chunk.sha256);
  return found(chunk);
}

}  // namespace tsl
