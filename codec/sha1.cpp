#include "codec/sha1.h"

#include <atomic>
#include <cstring>

#include "util/file_system.h"

#if defined(__i386__) || defined(__x86_64__)
#define TSL_SHA1_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace tsl {

namespace {

constexpr uint32_t initial_state[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};

// Clears memory in a way the optimiser may not drop as a dead store.
void wipe(void* bytes, size_t size) {
  volatile uint8_t* p = static_cast<volatile uint8_t*>(bytes);
  while (size--) *p++ = 0;
}

inline uint32_t rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t load_be32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

using compress_function = void (*)(uint32_t state[5], const uint8_t* data, size_t blocks);

// The message schedule lives in a 16-word ring; the rounds are unrolled with
// the five working variables renamed instead of moved.
void compress_portable(uint32_t state[5], const uint8_t* data, size_t blocks) {
  uint32_t w[16];
#define TSL_W(i) \
  (w[(i)&15] = rol(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ w[(i)&15], 1))
// The choice and majority functions are sums of two bitwise-disjoint terms,
// so each adds into e on its own and the rounds' dependency chains shorten.
#define TSL_R0(a, b, c, d, e, i)                            \
  e += (b & c) + (~b & d) + w[i] + 0x5A827999u + rol(a, 5); \
  b = rol(b, 30)
#define TSL_R1(a, b, c, d, e, i)                                \
  e += (b & c) + (~b & d) + TSL_W(i) + 0x5A827999u + rol(a, 5); \
  b = rol(b, 30)
#define TSL_R2(a, b, c, d, e, i)                         \
  e += (b ^ c ^ d) + TSL_W(i) + 0x6ED9EBA1u + rol(a, 5); \
  b = rol(b, 30)
#define TSL_R3(a, b, c, d, e, i)                                     \
  e += (b & c) + (d & (b ^ c)) + TSL_W(i) + 0x8F1BBCDCu + rol(a, 5); \
  b = rol(b, 30)
#define TSL_R4(a, b, c, d, e, i)                         \
  e += (b ^ c ^ d) + TSL_W(i) + 0xCA62C1D6u + rol(a, 5); \
  b = rol(b, 30)
#define TSL_FIVE(R, i)       \
  R(a, b, c, d, e, (i));     \
  R(e, a, b, c, d, (i) + 1); \
  R(d, e, a, b, c, (i) + 2); \
  R(c, d, e, a, b, (i) + 3); \
  R(b, c, d, e, a, (i) + 4)

  for (; blocks; --blocks, data += 64) {
    for (int i = 0; i < 16; ++i) w[i] = load_be32(data + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    TSL_FIVE(TSL_R0, 0);
    TSL_FIVE(TSL_R0, 5);
    TSL_FIVE(TSL_R0, 10);
    TSL_R0(a, b, c, d, e, 15);
    TSL_R1(e, a, b, c, d, 16);
    TSL_R1(d, e, a, b, c, 17);
    TSL_R1(c, d, e, a, b, 18);
    TSL_R1(b, c, d, e, a, 19);
    TSL_FIVE(TSL_R2, 20);
    TSL_FIVE(TSL_R2, 25);
    TSL_FIVE(TSL_R2, 30);
    TSL_FIVE(TSL_R2, 35);
    TSL_FIVE(TSL_R3, 40);
    TSL_FIVE(TSL_R3, 45);
    TSL_FIVE(TSL_R3, 50);
    TSL_FIVE(TSL_R3, 55);
    TSL_FIVE(TSL_R4, 60);
    TSL_FIVE(TSL_R4, 65);
    TSL_FIVE(TSL_R4, 70);
    TSL_FIVE(TSL_R4, 75);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
  }
#undef TSL_FIVE
#undef TSL_R4
#undef TSL_R3
#undef TSL_R2
#undef TSL_R1
#undef TSL_R0
#undef TSL_W
  // The working copy of the message must not outlive the call.
  wipe(w, sizeof w);
}

#ifdef TSL_SHA1_X86

// The x86 SHA extensions: four rounds per sha1rnds4, the schedule from
// sha1msg1/sha1msg2. The message stays in registers.
#if defined(__i386__)
// 32-bit Windows only promises a 4-byte aligned stack to thread entries.
__attribute__((target("sha,sse4.1"), force_align_arg_pointer))
#else
__attribute__((target("sha,sse4.1")))
#endif
void compress_sha_ni(uint32_t state[5], const uint8_t* data, size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);

  for (; blocks; --blocks, data += 64) {
    const __m128i abcd_save = abcd;
    const __m128i e_save = e0;
    __m128i m0 =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data)), byte_swap);
    __m128i m1 =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16)), byte_swap);
    __m128i m2 =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 32)), byte_swap);
    __m128i m3 =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 48)), byte_swap);
    __m128i e1;

    // Rounds 0-3.
    e0 = _mm_add_epi32(e0, m0);
    e1 = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);

    // One group of four rounds from round 4 on: `cur` is this group's words,
    // `ein`/`eout` alternate between e0 and e1.
#define TSL_GROUP(ein, eout, cur, f)   \
  ein = _mm_sha1nexte_epu32(ein, cur); \
  eout = abcd;                         \
  abcd = _mm_sha1rnds4_epu32(abcd, ein, f)
    // Next schedule words: W[i] = msg2(msg1(W[i-4], W[i-3]) ^ W[i-2], W[i-1]).
#define TSL_NEXT(w4, w3, w2, w1) \
  w4 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(w4, w3), w2), w1)

    TSL_GROUP(e1, e0, m1, 0);  // 4-7
    TSL_GROUP(e0, e1, m2, 0);  // 8-11
    TSL_GROUP(e1, e0, m3, 0);  // 12-15
    TSL_NEXT(m0, m1, m2, m3);
    TSL_GROUP(e0, e1, m0, 0);  // 16-19
    TSL_NEXT(m1, m2, m3, m0);
    TSL_GROUP(e1, e0, m1, 1);  // 20-23
    TSL_NEXT(m2, m3, m0, m1);
    TSL_GROUP(e0, e1, m2, 1);
    TSL_NEXT(m3, m0, m1, m2);
    TSL_GROUP(e1, e0, m3, 1);
    TSL_NEXT(m0, m1, m2, m3);
    TSL_GROUP(e0, e1, m0, 1);
    TSL_NEXT(m1, m2, m3, m0);
    TSL_GROUP(e1, e0, m1, 1);  // 36-39
    TSL_NEXT(m2, m3, m0, m1);
    TSL_GROUP(e0, e1, m2, 2);  // 40-43
    TSL_NEXT(m3, m0, m1, m2);
    TSL_GROUP(e1, e0, m3, 2);
    TSL_NEXT(m0, m1, m2, m3);
    TSL_GROUP(e0, e1, m0, 2);
    TSL_NEXT(m1, m2, m3, m0);
    TSL_GROUP(e1, e0, m1, 2);
    TSL_NEXT(m2, m3, m0, m1);
    TSL_GROUP(e0, e1, m2, 2);  // 56-59
    TSL_NEXT(m3, m0, m1, m2);
    TSL_GROUP(e1, e0, m3, 3);  // 60-63
    TSL_NEXT(m0, m1, m2, m3);
    TSL_GROUP(e0, e1, m0, 3);
    TSL_NEXT(m1, m2, m3, m0);
    TSL_GROUP(e1, e0, m1, 3);
    TSL_NEXT(m2, m3, m0, m1);
    TSL_GROUP(e0, e1, m2, 3);
    TSL_NEXT(m3, m0, m1, m2);
    TSL_GROUP(e1, e0, m3, 3);  // 76-79
#undef TSL_NEXT
#undef TSL_GROUP

    e0 = _mm_sha1nexte_epu32(e0, e_save);
    abcd = _mm_add_epi32(abcd, abcd_save);
  }

  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
  state[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

bool cpu_has_sha_instructions() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = (c & (1u << 9)) != 0;
  const bool sse41 = (c & (1u << 19)) != 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  const bool sha = (b & (1u << 29)) != 0;
  return ssse3 && sse41 && sha;
}

#else

bool cpu_has_sha_instructions() { return false; }

#endif

std::atomic<bool> portable_forced{false};

compress_function detected_compress() {
#ifdef TSL_SHA1_X86
  static const compress_function chosen =
      cpu_has_sha_instructions() ? compress_sha_ni : compress_portable;
  return chosen;
#else
  return compress_portable;
#endif
}

void compress(uint32_t state[5], const uint8_t* data, size_t blocks) {
  if (portable_forced.load(std::memory_order_relaxed)) {
    compress_portable(state, data, blocks);
  } else {
    detected_compress()(state, data, blocks);
  }
}

}  // namespace

Sha1Context::Sha1Context() { reset(*this); }

Sha1Context::~Sha1Context() {
  wipe(block, sizeof block);
  wipe(&bit_count_low, sizeof bit_count_low);
  wipe(&bit_count_high, sizeof bit_count_high);
  wipe(state, sizeof state);
}

void reset(Sha1Context& context) {
  std::memcpy(context.state, initial_state, sizeof initial_state);
  context.bit_count_low = 0;
  context.bit_count_high = 0;
}

void update(Sha1Context& context, const void* bytes, uint32_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  uint32_t used = (context.bit_count_low >> 3) & 63;
  const uint32_t old_low = context.bit_count_low;
  context.bit_count_low += length << 3;
  if (context.bit_count_low < old_low) ++context.bit_count_high;
  context.bit_count_high += length >> 29;

  if (used) {
    const uint32_t fill = 64 - used;
    if (length < fill) {
      std::memcpy(context.block + used, p, length);
      return;
    }
    std::memcpy(context.block + used, p, fill);
    compress(context.state, context.block, 1);
    p += fill;
    length -= fill;
  }
  // Whole blocks straight from the caller's bytes.
  const uint32_t blocks = length / 64;
  if (blocks) {
    compress(context.state, p, blocks);
    p += size_t(blocks) * 64;
    length -= blocks * 64;
  }
  if (length) std::memcpy(context.block, p, length);
}

void final(Sha1Context& context, uint8_t digest[20]) {
  uint8_t count[8];
  for (int i = 0; i < 4; ++i) {
    count[i] = static_cast<uint8_t>(context.bit_count_high >> (24 - 8 * i));
    count[4 + i] = static_cast<uint8_t>(context.bit_count_low >> (24 - 8 * i));
  }
  static const uint8_t padding[64] = {0x80};
  const uint32_t used = (context.bit_count_low >> 3) & 63;
  const uint32_t pad = used < 56 ? 56 - used : 120 - used;
  update(context, padding, pad);
  update(context, count, 8);
  for (int i = 0; i < 20; ++i) {
    digest[i] = static_cast<uint8_t>(context.state[i / 4] >> (24 - 8 * (i % 4)));
  }
}

std::string digest_text(const uint8_t digest[20]) {
  static const char hex[] = "0123456789abcdef";
  std::string text(40, '0');
  for (int i = 0; i < 20; ++i) {
    text[2 * i] = hex[digest[i] >> 4];
    text[2 * i + 1] = hex[digest[i] & 15];
  }
  return text;
}

std::string file_digest(const std::wstring& path, Sha1Context& context, byte_buffer& buffer) {
  file_handle file = file_handle::open_read(path);
  uint64_t size = 0;
  if (!file.is_open() || !file.size(size) || size == 0) return std::string();

  // Bounded pieces: any file size fits, and the buffer grows at most to one
  // piece. A buffer that may not grow is used at the capacity it has.
  uint32_t piece =
      size < file_digest_piece_size ? static_cast<uint32_t>(size) : file_digest_piece_size;
  if (buffer.capacity() < piece) buffer.grow(piece);
  if (buffer.capacity() < piece) piece = buffer.capacity();
  if (piece == 0) return std::string();

  reset(context);
  for (uint64_t left = size; left;) {
    const uint32_t want = left < piece ? static_cast<uint32_t>(left) : piece;
    uint32_t have = 0;
    while (have < want) {
      uint32_t got = 0;
      if (!file.read(buffer.data() + have, want - have, got) || got == 0) {
        // Shorter than its size or unreadable: no digest, and nothing of
        // this file may leak into the next one.
        reset(context);
        return std::string();
      }
      have += got;
    }
    update(context, buffer.data(), want);
    left -= want;
  }

  uint8_t digest[20];
  final(context, digest);
  reset(context);
  return digest_text(digest);
}

bool sha1_uses_cpu_instructions() {
#ifdef TSL_SHA1_X86
  return !portable_forced.load(std::memory_order_relaxed) && cpu_has_sha_instructions();
#else
  return false;
#endif
}

void sha1_force_portable(bool portable) { portable_forced.store(portable); }

}  // namespace tsl
