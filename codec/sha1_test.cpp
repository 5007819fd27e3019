#include "codec/sha1.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "tests/test_util.h"

#if defined(_WIN32) && defined(__i386__)
#include <windows.h>

// Calls fn(job) with the stack pointer `skew` bytes (0, 4, 8 or 12) past the
// 16-byte alignment the compiler assumes at a function's entry, the way
// 32-bit Windows starts the threads it creates (only 4-byte aligned).
extern "C" void tsl_call_with_stack_skew(void (*fn)(void*), void* job, unsigned skew);
asm(".text\n"
    ".globl _tsl_call_with_stack_skew\n"
    "_tsl_call_with_stack_skew:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  andl $-16, %esp\n"
    "  subl $8, %esp\n"
    "  subl 16(%ebp), %esp\n"
    "  pushl 12(%ebp)\n"
    "  call *8(%ebp)\n"
    "  movl %ebp, %esp\n"
    "  popl %ebp\n"
    "  ret\n");
#endif

namespace tsl {
namespace {

using test::random_bytes;
using test::scoped_temp_dir;
using test::write_file;

std::string digest_of(const std::string& bytes) {
  Sha1Context context;
  update(context, bytes.data(), static_cast<uint32_t>(bytes.size()));
  uint8_t digest[20];
  final(context, digest);
  return digest_text(digest);
}

// Feeds the bytes in pieces of random lengths, so that every split of a
// block between calls is crossed.
std::string digest_in_pieces(const std::string& bytes, uint32_t seed) {
  std::mt19937 rng(seed);
  Sha1Context context;
  size_t at = 0;
  while (at < bytes.size()) {
    size_t n = std::min<size_t>(bytes.size() - at, rng() % 200);
    update(context, bytes.data() + at, static_cast<uint32_t>(n));
    at += n;
  }
  uint8_t digest[20];
  final(context, digest);
  return digest_text(digest);
}

// Runs the body once on the portable code and once on the detected one.
class Sha1Paths : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { sha1_force_portable(GetParam()); }
  void TearDown() override { sha1_force_portable(false); }
};

TEST_P(Sha1Paths, PublishedVectors) {
  EXPECT_EQ(digest_of(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(digest_of("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(digest_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(digest_of("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
                      "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
            "a49b2446a02c645bf419f995b67091253a04a259");
  EXPECT_EQ(digest_of(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  EXPECT_EQ(digest_in_pieces(std::string(1000000, 'a'), 7),
            "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST_P(Sha1Paths, PaddingBoundaries) {
  // One extra block up to 55 bytes, two from 56; 64 is a whole block.
  const std::pair<size_t, const char*> cases[] = {
      {55, "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
      {56, "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
      {63, "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
      {64, "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
      {65, "11655326c708d70319be2610e8a57d9a5b959d3b"},
  };
  scoped_temp_dir dir;
  Sha1Context context;
  byte_buffer buffer;
  for (const auto& c : cases) {
    const std::string bytes(c.first, 'a');
    EXPECT_EQ(digest_of(bytes), c.second) << c.first;
    EXPECT_EQ(digest_in_pieces(bytes, 1), c.second) << c.first;
    write_file(dir / L"f", bytes);
    EXPECT_EQ(file_digest(dir / L"f", context, buffer), c.second) << c.first;
  }
}

INSTANTIATE_TEST_SUITE_P(Sha1, Sha1Paths, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Portable" : "Detected";
                         });

TEST(Sha1, BothCodePathsAgreeOnRandomData) {
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    size_t length = round < 200 ? round : rng() % 100000;
    std::string bytes = random_bytes(length, round);
    sha1_force_portable(true);
    const std::string portable = digest_of(bytes);
    sha1_force_portable(false);
    ASSERT_EQ(digest_of(bytes), portable) << length;
    ASSERT_EQ(digest_in_pieces(bytes, round), portable) << length;
  }
  sha1_force_portable(true);
  EXPECT_FALSE(sha1_uses_cpu_instructions());
  sha1_force_portable(false);
}

#if defined(_WIN32) && defined(__i386__)
struct skewed_job {
  const std::string* bytes;
  std::string digest;
};

void digest_skewed_job(void* p) {
  skewed_job* job = static_cast<skewed_job*>(p);
  job->digest = digest_in_pieces(*job->bytes, 5);
}

struct skewed_thread {
  const std::string* bytes;
  std::string digests[4];
};

DWORD WINAPI skewed_thread_entry(void* p) {
  skewed_thread* t = static_cast<skewed_thread*>(p);
  for (unsigned skew = 0; skew < 4; ++skew) {
    skewed_job job{t->bytes, std::string()};
    tsl_call_with_stack_skew(digest_skewed_job, &job, 4 * skew);
    t->digests[skew] = job.digest;
  }
  return 0;
}

// SSE code spills to 16-byte aligned stack slots; reached from a thread that
// Windows started, whose stack is only 4-byte aligned, it must realign itself
// or die of an alignment fault.
TEST(Sha1, ThreadsStartedByWindowsWithAnyStackAlignment) {
  if (!sha1_uses_cpu_instructions()) {
    std::printf("note: no SHA instructions here; the portable code runs on the skewed stacks\n");
  }
  const std::string bytes = random_bytes(100000, 17);
  sha1_force_portable(true);
  const std::string expected = digest_in_pieces(bytes, 5);
  sha1_force_portable(false);
  skewed_thread t{&bytes, {}};
  HANDLE thread = CreateThread(nullptr, 0, skewed_thread_entry, &t, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, 120000), WAIT_OBJECT_0);
  DWORD code = 1;
  EXPECT_TRUE(GetExitCodeThread(thread, &code) && code == 0);
  CloseHandle(thread);
  for (unsigned skew = 0; skew < 4; ++skew) EXPECT_EQ(t.digests[skew], expected) << 4 * skew;
}
#endif

TEST(Sha1, FinalLeavesTheStateAndResetStartsOver) {
  Sha1Context context;
  update(context, "ab", 2);
  uint8_t first[20], again[20];
  final(context, first);
  reset(context);
  update(context, "ab", 2);
  final(context, again);
  EXPECT_EQ(digest_text(first), digest_text(again));
  EXPECT_EQ(digest_text(first), digest_of("ab"));
}

TEST(Sha1FileDigest, FilesLargerThanOnePiece) {
  scoped_temp_dir dir;
  const std::string bytes = random_bytes(2 * file_digest_piece_size + 12345, 3);
  write_file(dir / L"big", bytes);
  Sha1Context context;
  byte_buffer buffer;
  EXPECT_EQ(file_digest(dir / L"big", context, buffer), digest_of(bytes));
  // Memory stays at one piece, however large the file.
  EXPECT_EQ(buffer.capacity(), file_digest_piece_size);
}

TEST(Sha1FileDigest, ContextAndBufferServeManyFiles) {
  scoped_temp_dir dir;
  const std::string big = random_bytes(300000, 4);
  const std::string small = "hello";
  write_file(dir / L"big", big);
  write_file(dir / L"small", small);
  write_file(dir / L"empty", "");

  Sha1Context context;
  byte_buffer buffer;
  EXPECT_EQ(file_digest(dir / L"small", context, buffer), digest_of(small));
  EXPECT_EQ(buffer.capacity(), small.size());  // grown only as needed
  EXPECT_EQ(file_digest(dir / L"big", context, buffer), digest_of(big));
  EXPECT_EQ(buffer.capacity(), big.size());
  // Empty, missing and unreadable files have no digest, and do not disturb
  // the next one.
  EXPECT_EQ(file_digest(dir / L"empty", context, buffer), "");
  EXPECT_EQ(file_digest(dir / L"missing", context, buffer), "");
  EXPECT_EQ(file_digest(dir.path(), context, buffer), "");
  EXPECT_EQ(file_digest(dir / L"small", context, buffer), digest_of(small));
  EXPECT_EQ(buffer.capacity(), big.size());  // never shrinks

  // A context left half-used by the caller does not leak into the digest.
  update(context, "junk", 4);
  EXPECT_EQ(file_digest(dir / L"big", context, buffer), digest_of(big));
}

}  // namespace
}  // namespace tsl
