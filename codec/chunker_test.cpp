#include "codec/chunker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <vector>

namespace tsl {
namespace {

std::vector<uint8_t> noise(size_t size, uint64_t seed) {
  std::vector<uint8_t> bytes(size);
  uint64_t s = seed;
  for (auto& b : bytes) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    b = static_cast<uint8_t>(s >> 24);
  }
  return bytes;
}

// The ends of the chunks of `bytes`, fed in pieces of `piece` bytes.
std::vector<uint64_t> cuts(const std::vector<uint8_t>& bytes, const chunk_sizes& sizes,
                           size_t piece) {
  chunker c(sizes);
  std::vector<uint64_t> ends;
  uint64_t at = 0;
  for (size_t start = 0; start < bytes.size(); start += piece) {
    const size_t n = std::min(piece, bytes.size() - start);
    size_t done = 0;
    while (done < n) {
      bool cut = false;
      done += c.scan(bytes.data() + start + done, n - done, cut);
      if (cut) ends.push_back(at + done);
    }
    at += n;
  }
  if (c.pending()) ends.push_back(at);
  return ends;
}

TEST(chunker, cuts_are_fixed_for_every_build_and_every_way_of_feeding) {
  // Pinned: a launcher must cut an installed file exactly as the maker cut
  // the same bytes, whichever build and version of either.
  const auto bytes = noise(1 << 20, 0x2545F4914F6CDD1Dull);
  const chunk_sizes sizes = chunk_sizes_of(16 << 10);
  const std::vector<uint64_t> pinned = {17366, 26871, 46623, 54624, 75639, 93011, 113818, 125937};
  const auto whole = cuts(bytes, sizes, bytes.size());
  ASSERT_GE(whole.size(), 8u);
  EXPECT_EQ(std::vector<uint64_t>(whole.begin(), whole.begin() + 8), pinned);
  for (size_t piece : {1, 7, 4096, 65536 + 3}) EXPECT_EQ(cuts(bytes, sizes, piece), whole) << piece;

  uint64_t previous = 0;
  for (size_t k = 0; k < whole.size(); ++k) {
    const uint64_t length = whole[k] - previous;
    previous = whole[k];
    EXPECT_LE(length, sizes.maximum);
    if (k + 1 < whole.size()) {
      EXPECT_GE(length, sizes.minimum);
    }
  }
  // Bytes without variety never meet the mask: cut at the maximum.
  const std::vector<uint8_t> zeros(300 << 10, 0);
  EXPECT_EQ(cuts(zeros, sizes, 1 << 20),
            (std::vector<uint64_t>{64 << 10, 128 << 10, 192 << 10, 256 << 10, 300 << 10}));
}

// Chunks (as start offset and length) of `after` that `before` lacks.
size_t new_chunks(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                  const chunk_sizes& sizes) {
  auto spans = [&sizes](const std::vector<uint8_t>& bytes) {
    std::multiset<std::vector<uint8_t>> out;
    uint64_t start = 0;
    for (uint64_t end : cuts(bytes, sizes, 1 << 20)) {
      out.emplace(bytes.begin() + start, bytes.begin() + end);
      start = end;
    }
    return out;
  };
  const auto old = spans(before);
  size_t missing = 0;
  for (const auto& chunk : spans(after)) missing += old.count(chunk) == 0;
  return missing;
}

TEST(chunker, an_insertion_or_a_deletion_moves_only_the_cuts_next_to_it) {
  const chunk_sizes sizes = chunk_sizes_of(8 << 10);
  const auto bytes = noise(2 << 20, 77);
  auto inserted = bytes;
  const auto extra = noise(100, 5);
  inserted.insert(inserted.begin() + (1 << 20) + 12345, extra.begin(), extra.end());
  auto deleted = bytes;
  deleted.erase(deleted.begin() + 700000, deleted.begin() + 700000 + 3000);
  auto at_start = bytes;
  at_start.insert(at_start.begin(), extra.begin(), extra.end());
  // About 256 chunks each: the edit's own and at most one or two beside it.
  EXPECT_LE(new_chunks(bytes, inserted, sizes), 3u);
  EXPECT_LE(new_chunks(bytes, deleted, sizes), 3u);
  EXPECT_LE(new_chunks(bytes, at_start, sizes), 3u);
}

TEST(chunker, sizes_outside_what_a_map_may_state_are_refused) {
  EXPECT_TRUE(valid_chunk_sizes(chunk_sizes_of(256 << 10)));
  EXPECT_TRUE(valid_chunk_sizes(chunk_sizes_of(4 << 10)));
  EXPECT_TRUE(valid_chunk_sizes(chunk_sizes_of(4 << 20)));
  EXPECT_FALSE(valid_chunk_sizes(chunk_sizes_of(2 << 10)));
  EXPECT_FALSE(valid_chunk_sizes(chunk_sizes_of(8 << 20)));
  EXPECT_FALSE(valid_chunk_sizes({64 << 10, 96 << 10, 256 << 10}));  // not a power of two
  EXPECT_FALSE(valid_chunk_sizes({64 << 10, 64 << 10, 256 << 10}));
  EXPECT_FALSE(valid_chunk_sizes({512, 64 << 10, 256 << 10}));
  EXPECT_FALSE(valid_chunk_sizes({1 << 10, 64 << 10, 64 << 10}));
}

}  // namespace
}  // namespace tsl
