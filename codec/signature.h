// Ed25519 detached signatures and SHA-256 digests over libsodium, and the
// hexadecimal text the keys travel in (build setting, key files).
// Threading: every function may be called from any thread; a
// sha256_hasher belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "util/byte_buffer.h"

namespace tsl {

constexpr size_t signing_public_key_bytes = 32;
constexpr size_t signing_secret_key_bytes = 64;
constexpr size_t signature_bytes = 64;

// Lowercase hexadecimal digits of `bytes`.
std::string hex_text(const std::string& bytes);
// The bytes of a text of hexadecimal digits (either case) that must decode
// to exactly `size` bytes; blanks and line ends around it are allowed. False
// for anything else.
bool parse_hex(const std::string& text, size_t size, std::string& bytes);

// A fresh key pair (raw bytes). False when the library cannot start.
bool make_signing_keys(std::string& public_key, std::string& secret_key);
// The detached signature of `message`; empty for a key of the wrong size.
std::string sign_detached(const std::string& message, const std::string& secret_key);
// Whether `signature` is a valid signature of `message` by `public_key`.
// A key or signature of the wrong size is simply not valid.
bool verify_detached(const std::string& message, const std::string& signature,
                     const std::string& public_key);

// What the signature of update `gameupdate`'s index covers: its number,
// then its exact bytes. A signature of the bytes alone would let a host
// serve an older signed index under the current number.
std::string index_signed_message(uint32_t gameupdate, const std::string& index_bytes);
// What comes before the index's bytes in that message.
std::string index_signed_prefix(uint32_t gameupdate);

// SHA-256 of bytes handed over in pieces, as 64 lowercase hexadecimal digits.
class sha256_stream {
 public:
  sha256_stream();
  ~sha256_stream();
  sha256_stream(const sha256_stream&) = delete;
  sha256_stream& operator=(const sha256_stream&) = delete;
  void add(const void* bytes, size_t size);
  // Ends the stream and starts a new one.
  std::string finish();
  // The same, as the 32 bytes of the digest.
  void finish(uint8_t digest[32]);

 private:
  struct state;
  std::unique_ptr<state> state_;
};

std::string sha256_text(const std::string& bytes);

// The SHA-256 text of a whole file (an empty file has the digest of no
// bytes), or "" when it cannot be read to its end.
class sha256_hasher {
 public:
  std::string digest(const std::wstring& path);

 private:
  sha256_stream stream_;
  byte_buffer buffer_;
};

}  // namespace tsl
