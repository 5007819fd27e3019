#include "format/chunk_map.h"

#include <algorithm>
#include <cstring>

namespace tsl {

namespace {

const uint8_t magic[4] = {'T', 'S', 'L', 'M'};
constexpr uint64_t packed_header_bytes = 13;  // codec/packed_file.h
constexpr uint64_t packed_end_bytes = 1;

void put(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
}

uint64_t get(const uint8_t* in, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

// Exactly `size` bytes from the source.
bool read_exactly(const byte_source& source, uint8_t* bytes, uint32_t size) {
  uint32_t have = 0;
  while (have < size) {
    uint32_t got = 0;
    if (!source(bytes + have, size - have, got) || got == 0) return false;
    have += got;
  }
  return true;
}

}  // namespace

uint64_t chunk_count_bound(uint64_t file_size, const chunk_sizes& sizes) {
  if (file_size == 0 || sizes.minimum == 0) return 0;
  return (file_size - 1) / sizes.minimum + 1;
}

// LZMA2 stores what does not shrink with 3 bytes per 64 KiB, but a chunk
// that LZMA shrinks by less than its own header (5 or 6 bytes) adds a few
// more: a loose bound still keeps a range near its chunk's size.
uint64_t longest_piece(uint64_t length) { return length + length / 256 + 256; }

std::string encode_chunk_map(const chunk_map& map) {
  const chunk_map_header& h = map.header;
  std::string out(reinterpret_cast<const char*>(magic), sizeof magic);
  put(out, chunk_map_version, 2);
  put(out, static_cast<uint8_t>(h.form), 1);
  put(out, chunk_map_chunker, 1);
  put(out, h.sizes.minimum, 4);
  put(out, h.sizes.average, 4);
  put(out, h.sizes.maximum, 4);
  put(out, h.file_size, 8);
  put(out, h.published_size, 8);
  put(out, map.chunks.size(), 8);
  out.reserve(out.size() + map.chunks.size() * chunk_record_size);
  for (const chunk_entry& c : map.chunks) {
    put(out, c.length, 4);
    put(out, c.published_length, 4);
    out.append(reinterpret_cast<const char*>(c.sha256), sizeof c.sha256);
  }
  return out;
}

bool chunk_map_reader::refuse(std::string* why, const char* reason) {
  failed_ = true;
  if (why) *why = reason;
  return false;
}

bool chunk_map_reader::begin(const byte_source& source, uint64_t map_size, std::string* why) {
  source_ = source;
  read_ = 0;
  offset_ = 0;
  failed_ = true;
  uint8_t h[chunk_map_header_size];
  if (map_size < sizeof h || !read_exactly(source_, h, sizeof h)) {
    return refuse(why, "shorter than its header");
  }
  if (std::memcmp(h, magic, sizeof magic) != 0) return refuse(why, "not a chunk map");
  if (get(h + 4, 2) != chunk_map_version)
    return refuse(why, "a version this program does not read");
  if (h[6] > static_cast<uint8_t>(published_form::packed)) return refuse(why, "an unknown form");
  if (h[7] != chunk_map_chunker) return refuse(why, "an unknown chunker");
  header_.form = static_cast<published_form>(h[6]);
  header_.sizes.minimum = static_cast<uint32_t>(get(h + 8, 4));
  header_.sizes.average = static_cast<uint32_t>(get(h + 12, 4));
  header_.sizes.maximum = static_cast<uint32_t>(get(h + 16, 4));
  header_.file_size = get(h + 20, 8);
  header_.published_size = get(h + 28, 8);
  header_.count = get(h + 36, 8);
  if (!valid_chunk_sizes(header_.sizes)) return refuse(why, "chunk sizes out of range");
  const chunk_map_header& m = header_;
  // Bounded before anything is multiplied with it.
  if (m.count > chunk_count_bound(m.file_size, m.sizes)) {
    return refuse(why, "more chunks than the file size allows");
  }
  if (m.file_size > 0 && m.count == 0) return refuse(why, "no chunks for a file that is not empty");
  if ((map_size - sizeof h) / chunk_record_size != m.count ||
      (map_size - sizeof h) % chunk_record_size != 0) {
    return refuse(why, "a size that does not match its chunk count");
  }
  const uint64_t frame =
      m.form == published_form::packed ? packed_header_bytes + packed_end_bytes : 0;
  if (m.published_size < frame) return refuse(why, "a published size too small for its form");
  if (m.form == published_form::copied && m.published_size != m.file_size) {
    return refuse(why, "a copied file whose published size is not its size");
  }
  published_offset_ = m.form == published_form::packed ? packed_header_bytes : 0;
  failed_ = false;
  return true;
}

bool chunk_map_reader::next(chunk_entry& chunk, std::string* why) {
  if (why) why->clear();
  if (failed_) return refuse(why, "read after a refusal");
  const chunk_map_header& m = header_;
  if (read_ == m.count) {
    const uint64_t end =
        published_offset_ + (m.form == published_form::packed ? packed_end_bytes : 0);
    if (offset_ != m.file_size)
      return refuse(why, "chunk lengths that do not add up to the file size");
    if (end != m.published_size) {
      return refuse(why, "ranges that do not add up to the published size");
    }
    return false;
  }
  uint8_t r[chunk_record_size];
  if (!read_exactly(source_, r, sizeof r)) return refuse(why, "cut short");
  const uint64_t length = get(r, 4);
  const uint64_t published_length = get(r + 4, 4);
  const bool last = read_ + 1 == m.count;
  if (length == 0 || length > m.sizes.maximum || (!last && length < m.sizes.minimum)) {
    return refuse(why, "a chunk length the stated sizes do not allow");
  }
  if (length > m.file_size - offset_) return refuse(why, "chunks beyond the file size");
  if (m.form == published_form::copied
          ? published_length != length
          : published_length == 0 || published_length > longest_piece(length)) {
    return refuse(why, "a range length that does not fit its chunk");
  }
  const uint64_t room =
      m.published_size - (m.form == published_form::packed ? packed_end_bytes : 0);
  if (published_offset_ > room || published_length > room - published_offset_) {
    return refuse(why, "ranges beyond the published size");
  }
  chunk.offset = offset_;
  chunk.length = length;
  chunk.published_offset = published_offset_;
  chunk.published_length = published_length;
  std::memcpy(chunk.sha256, r + 8, sizeof chunk.sha256);
  offset_ += length;
  published_offset_ += published_length;
  ++read_;
  return true;
}

bool parse_chunk_map(std::string_view bytes, chunk_map& map, std::string* why) {
  size_t at = 0;
  const byte_source source = [&](uint8_t* out, uint32_t room, uint32_t& got) {
    got = static_cast<uint32_t>(std::min<size_t>(room, bytes.size() - at));
    std::memcpy(out, bytes.data() + at, got);
    at += got;
    return true;
  };
  chunk_map_reader reader;
  if (!reader.begin(source, bytes.size(), why)) return false;
  chunk_map read;
  read.header = reader.header();
  read.chunks.reserve(static_cast<size_t>(read.header.count));
  chunk_entry chunk;
  std::string reason;
  while (reader.next(chunk, &reason)) read.chunks.push_back(chunk);
  if (!reason.empty()) {
    if (why) *why = reason;
    return false;
  }
  map = std::move(read);
  return true;
}

}  // namespace tsl
