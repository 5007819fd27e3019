#include "format/chunk_map.h"

#include "codec/packed_file.h"
#include "tests/test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace tsl {
namespace {

// Three chunks of a packed file: 5000 + 4096 + 100 bytes with sizes of a
// 4 KiB average.
chunk_map sample(published_form form) {
  chunk_map map;
  map.header.form = form;
  map.header.sizes = chunk_sizes_of(4 << 10);
  const uint64_t lengths[] = {5000, 4096, 100};
  const uint64_t packed[] = {900, 4100, 60};
  uint64_t published = form == published_form::packed ? 13 : 0;
  for (int k = 0; k < 3; ++k) {
    chunk_entry c;
    c.length = lengths[k];
    c.published_length = form == published_form::packed ? packed[k] : lengths[k];
    std::memset(c.sha256, 'a' + k, sizeof c.sha256);
    map.header.file_size += c.length;
    published += c.published_length;
    map.chunks.push_back(c);
  }
  map.header.published_size = published + (form == published_form::packed ? 1 : 0);
  return map;
}

void set(std::string& bytes, size_t at, uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

TEST(chunk_map, round_trips_with_the_offsets_and_ranges_it_implies) {
  for (const published_form form : {published_form::packed, published_form::copied}) {
    const chunk_map map = sample(form);
    const std::string bytes = encode_chunk_map(map);
    EXPECT_EQ(bytes.size(), chunk_map_header_size + 3 * chunk_record_size);
    chunk_map read;
    std::string why;
    ASSERT_TRUE(parse_chunk_map(bytes, read, &why)) << why;
    EXPECT_EQ(read.header.form, form);
    EXPECT_EQ(read.header.sizes.average, 4096u);
    EXPECT_EQ(read.header.file_size, 9196u);
    ASSERT_EQ(read.chunks.size(), 3u);
    const uint64_t offsets[] = {0, 5000, 9096};
    const uint64_t packed_offsets[] = {13, 913, 5013};
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(read.chunks[k].offset, offsets[k]);
      EXPECT_EQ(read.chunks[k].length, map.chunks[k].length);
      EXPECT_EQ(read.chunks[k].published_offset,
                form == published_form::packed ? packed_offsets[k] : offsets[k]);
      EXPECT_EQ(read.chunks[k].published_length, map.chunks[k].published_length);
      EXPECT_EQ(std::memcmp(read.chunks[k].sha256, map.chunks[k].sha256, 32), 0);
    }
  }
  chunk_map empty;
  empty.header.sizes = chunk_sizes_of(4 << 10);
  chunk_map read;
  EXPECT_TRUE(parse_chunk_map(encode_chunk_map(empty), read));
  EXPECT_TRUE(read.chunks.empty());
}

TEST(chunk_map, anything_inconsistent_is_refused) {
  const std::string good = encode_chunk_map(sample(published_form::packed));
  const std::string copied = encode_chunk_map(sample(published_form::copied));
  const size_t first = chunk_map_header_size, second = first + chunk_record_size;
  struct mutation {
    const char* what;
    std::function<void(std::string&)> change;
    const std::string* base;
  };
  const std::vector<mutation> mutations = {
      {"magic", [](std::string& b) { b[0] = 'X'; }, &good},
      {"version", [](std::string& b) { set(b, 4, 2, 2); }, &good},
      {"form", [](std::string& b) { set(b, 6, 2, 1); }, &good},
      {"chunker", [](std::string& b) { set(b, 7, 2, 1); }, &good},
      {"average not a power of two", [](std::string& b) { set(b, 12, 5000, 4); }, &good},
      {"minimum above average", [](std::string& b) { set(b, 8, 8192, 4); }, &good},
      {"count past the bound", [](std::string& b) { set(b, 20, 3, 8); }, &good},
      {"count against size", [](std::string& b) { set(b, 36, 2, 8); }, &good},
      {"cut short", [](std::string& b) { b.pop_back(); }, &good},
      {"one byte more", [](std::string& b) { b += '\0'; }, &good},
      {"header only", [](std::string& b) { b.resize(20); }, &good},
      {"lengths short of the file", [](std::string& b) { set(b, 20, 9197, 8); }, &good},
      {"lengths past the file", [](std::string& b) { set(b, 20, 9195, 8); }, &good},
      {"ranges short of the published size", [](std::string& b) { set(b, 28, 5075, 8); }, &good},
      {"ranges past the published size", [](std::string& b) { set(b, 28, 5073, 8); }, &good},
      {"chunk below the minimum",
       [](std::string& b) {
         set(b, first, 1000, 4);
         set(b, second, 8096, 4);
       },
       &good},
      {"chunk above the maximum",
       [](std::string& b) {
         set(b, first, 16385, 4);
         set(b, 20, 16385 + 4196, 8);
       },
       &good},
      {"empty chunk",
       [](std::string& b) {
         set(b, first + 2 * chunk_record_size, 0, 4);
         set(b, 20, 9096, 8);
       },
       &good},
      {"empty range",
       [](std::string& b) {
         set(b, first + 4, 0, 4);
         set(b, 28, 5074 - 900, 8);
       },
       &good},
      {"range longer than LZMA2 makes it",
       [](std::string& b) {
         set(b, first + 4, 6000, 4);
         set(b, 28, 5074 + 5100, 8);
       },
       &good},
      {"copied range not the chunk", [](std::string& b) { set(b, first + 4, 4999, 4); }, &copied},
      {"copied published size not the size", [](std::string& b) { set(b, 28, 9197, 8); }, &copied},
  };
  for (const auto& m : mutations) {
    std::string bytes = *m.base;
    m.change(bytes);
    chunk_map read;
    std::string why;
    EXPECT_FALSE(parse_chunk_map(bytes, read, &why)) << m.what;
    EXPECT_FALSE(why.empty()) << m.what;
  }
}

}  // namespace
// The packer's own pieces of the largest chunks pass the reader's bound:
// noise that LZMA shrinks by a few bytes a chunk costs each chunk its
// header.
TEST(chunk_map, the_packers_pieces_fit_their_chunks) {
  std::string data = test::random_bytes(4u << 20, 7);
  for (size_t at = 0; at + 24 < data.size(); at += 3000) data.replace(at, 24, 24, 'x');
  size_t given = 0;
  uint64_t packed = 0;
  file_packer packer;
  ASSERT_EQ(packer.pack_piece(
                [&](uint8_t* bytes, uint32_t room, uint32_t& got) {
                  got = static_cast<uint32_t>(std::min<size_t>(room, data.size() - given));
                  std::memcpy(bytes, data.data() + given, got);
                  given += got;
                  return true;
                },
                [&packed](const uint8_t*, size_t n) {
                  packed += n;
                  return true;
                },
                piece_dictionary(static_cast<uint32_t>(data.size()))),
            packed_ok);
  EXPECT_LE(packed, longest_piece(data.size())) << data.size();
}

}  // namespace tsl
