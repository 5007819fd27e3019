// The chunk map of a published file: how the file was cut into chunks
// (codec/chunker.h), the SHA-256 of each chunk and the byte range of the
// published file that holds it. A launcher that has another version of the
// file cuts it with the same sizes and fetches only the ranges of the
// chunks it lacks; every range of a packed file is LZMA2 that decodes on
// its own (codec/packed_file.h, unpack_piece).
//
// Layout, integers little-endian:
//   offset size
//        0    4  magic "TSLM"
//        4    2  version, 1
//        6    1  published form: 0 copied, 1 packed (a 13-byte header,
//                the pieces in chunk order, the LZMA2 end byte)
//        7    1  chunker: 1 (the gear table and masks of codec/chunker)
//        8    4  chunk sizes: minimum
//       12    4              average
//       16    4              maximum
//       20    8  file size
//       28    8  published size
//       36    8  chunk count
//       44       one record of 40 bytes per chunk, in file order: its
//                length (4), the length of its range (4), its SHA-256 (32)
// Offsets are not stated: chunks follow one another from 0, ranges from
// the packed header (or from 0 for a copied file), so no map can state
// chunks that overlap or leave gaps. A reader refuses a map whose lengths
// do not add up to both sizes, whose chunks break the stated sizes, or
// whose count passes what the file size allows.
// Threading: reentrant; a reader belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "codec/byte_stream.h"
#include "codec/chunker.h"

namespace tsl {

constexpr size_t chunk_map_header_size = 44;
constexpr size_t chunk_record_size = 40;
constexpr uint16_t chunk_map_version = 1;
constexpr uint8_t chunk_map_chunker = 1;

enum class published_form : uint8_t { copied = 0, packed = 1 };

struct chunk_map_header {
  published_form form = published_form::copied;
  chunk_sizes sizes;
  uint64_t file_size = 0;
  uint64_t published_size = 0;
  uint64_t count = 0;
};

// One chunk with where it lies in the file and in the published file.
struct chunk_entry {
  uint64_t offset = 0;
  uint64_t length = 0;
  uint64_t published_offset = 0;
  uint64_t published_length = 0;
  uint8_t sha256[32] = {};
};

// The most chunks a file of `file_size` bytes has when cut with `sizes`:
// every chunk but the last holds at least the minimum.
uint64_t chunk_count_bound(uint64_t file_size, const chunk_sizes& sizes);
// The longest range that a chunk of `length` bytes may take in a packed
// file (what does not shrink costs LZMA2 a few bytes per 64 KiB).
uint64_t longest_piece(uint64_t length);

// A whole map in memory, for the maker and for tests. A launcher reads
// maps with chunk_map_reader, whose memory does not grow with the file.
struct chunk_map {
  chunk_map_header header;
  std::vector<chunk_entry> chunks;
};
// The map's bytes; the header's count is that of `chunks`.
std::string encode_chunk_map(const chunk_map& map);
bool parse_chunk_map(std::string_view bytes, chunk_map& map, std::string* why = nullptr);

// Reads a map of `map_size` bytes from `source` one chunk at a time,
// checking as it goes; the totals are checked with the last chunk, so a
// caller that must not act on a bad map reads it through first.
class chunk_map_reader {
 public:
  // Reads and checks the header; false with `why` when refused.
  bool begin(const byte_source& source, uint64_t map_size, std::string* why = nullptr);
  const chunk_map_header& header() const { return header_; }
  // The next chunk: true with `chunk` filled; false at the end (`why`
  // empty) or when refused (`why` says why).
  bool next(chunk_entry& chunk, std::string* why = nullptr);

 private:
  bool refuse(std::string* why, const char* reason);

  byte_source source_;
  chunk_map_header header_;
  uint64_t read_ = 0;  // chunks read
  uint64_t offset_ = 0;
  uint64_t published_offset_ = 0;
  bool failed_ = true;
};

}  // namespace tsl
