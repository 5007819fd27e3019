// SHA-1 (FIPS 180-4) and the digest text of a whole file.
// Threading: a context and a buffer belong to one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "util/byte_buffer.h"

namespace tsl {

struct Sha1Context {
  uint8_t block[64];
  uint32_t bit_count_low;
  uint32_t bit_count_high;
  uint32_t state[5];

  Sha1Context();
  ~Sha1Context();  // clears count and state
  Sha1Context(const Sha1Context&) = delete;
  Sha1Context& operator=(const Sha1Context&) = delete;
};

void reset(Sha1Context& context);
void update(Sha1Context& context, const void* bytes, uint32_t length);
// Pads and writes the 20-byte digest; does not reset the context.
void final(Sha1Context& context, uint8_t digest[20]);

// 40 lowercase hexadecimal digits.
std::string digest_text(const uint8_t digest[20]);

// The digest text of a whole file, or "" for an empty or unreadable file.
// Reads in bounded pieces through `buffer`, so memory stays bounded for any
// file size; the buffer keeps its capacity for the next file and the context
// is left reset.
std::string file_digest(const std::wstring& path, Sha1Context& context, byte_buffer& buffer);

// Files are read through the buffer in pieces of at most this many bytes.
constexpr uint32_t file_digest_piece_size = 2u << 20;

// A context and a buffer kept together for hashing many files on one thread.
class file_hasher {
 public:
  std::string digest(const std::wstring& path) { return file_digest(path, context_, buffer_); }

 private:
  Sha1Context context_;
  byte_buffer buffer_;
};

// True when the SHA instructions of the CPU are in use.
bool sha1_uses_cpu_instructions();

// For tests and benchmarks: forces the portable compression even on a CPU
// with SHA instructions (false returns to the detected choice). Not meant to
// be flipped while another thread is digesting.
void sha1_force_portable(bool portable);

}  // namespace tsl
