// libFuzzer target: any bytes as a chunk map. The reader must refuse or
// accept without crashing, in memory bounded by the bytes given; what it
// accepts must describe chunks that tile the file and ranges that tile the
// published file, and must encode back to the very same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "format/chunk_map.h"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "accepted map breaks: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  tsl::chunk_map map;
  std::string why;
  if (!tsl::parse_chunk_map(bytes, map, &why)) {
    require(!why.empty(), "a refusal without a reason");
    return 0;
  }
  const auto& h = map.header;
  const bool packed = h.form == tsl::published_form::packed;
  uint64_t offset = 0, published = packed ? 13 : 0;
  for (const auto& c : map.chunks) {
    require(c.offset == offset && c.published_offset == published, "a gap or an overlap");
    require(c.length >= 1 && c.length <= h.sizes.maximum, "a chunk length out of its sizes");
    offset += c.length;
    published += c.published_length;
  }
  require(offset == h.file_size, "lengths that do not add up");
  require(published + (packed ? 1 : 0) == h.published_size, "ranges that do not add up");
  require(tsl::encode_chunk_map(map) == bytes, "another encoding of the same map");
  return 0;
}
