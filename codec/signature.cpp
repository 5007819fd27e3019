#include "codec/signature.h"

#include <sodium.h>

#include "util/file_system.h"

namespace tsl {

namespace {

// sodium_init is safe to call from several threads and more than once.
bool sodium_ready() { return sodium_init() >= 0; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

constexpr uint32_t file_piece = 1u << 20;

}  // namespace

std::string hex_text(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

bool parse_hex(const std::string& text, size_t size, std::string& bytes) {
  size_t begin = 0, end = text.size();
  while (begin < end && is_blank(text[begin])) ++begin;
  while (end > begin && is_blank(text[end - 1])) --end;
  if (end - begin != size * 2) return false;
  std::string out(size, '\0');
  for (size_t k = 0; k < size; ++k) {
    const int high = hex_value(text[begin + 2 * k]);
    const int low = hex_value(text[begin + 2 * k + 1]);
    if (high < 0 || low < 0) return false;
    out[k] = static_cast<char>(high * 16 + low);
  }
  bytes = std::move(out);
  return true;
}

bool make_signing_keys(std::string& public_key, std::string& secret_key) {
  if (!sodium_ready()) return false;
  unsigned char pk[crypto_sign_PUBLICKEYBYTES];
  unsigned char sk[crypto_sign_SECRETKEYBYTES];
  if (crypto_sign_keypair(pk, sk) != 0) return false;
  public_key.assign(reinterpret_cast<const char*>(pk), sizeof pk);
  secret_key.assign(reinterpret_cast<const char*>(sk), sizeof sk);
  sodium_memzero(sk, sizeof sk);
  return true;
}

std::string sign_detached(const std::string& message, const std::string& secret_key) {
  static_assert(signature_bytes == crypto_sign_BYTES, "Ed25519 signature size");
  static_assert(signing_secret_key_bytes == crypto_sign_SECRETKEYBYTES, "Ed25519 key size");
  if (secret_key.size() != crypto_sign_SECRETKEYBYTES || !sodium_ready()) return std::string();
  unsigned char signature[crypto_sign_BYTES];
  if (crypto_sign_detached(signature, nullptr,
                           reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                           reinterpret_cast<const unsigned char*>(secret_key.data())) != 0) {
    return std::string();
  }
  return std::string(reinterpret_cast<const char*>(signature), sizeof signature);
}

bool verify_detached(const std::string& message, const std::string& signature,
                     const std::string& public_key) {
  static_assert(signing_public_key_bytes == crypto_sign_PUBLICKEYBYTES, "Ed25519 key size");
  if (signature.size() != crypto_sign_BYTES || public_key.size() != crypto_sign_PUBLICKEYBYTES ||
      !sodium_ready()) {
    return false;
  }
  return crypto_sign_verify_detached(
             reinterpret_cast<const unsigned char*>(signature.data()),
             reinterpret_cast<const unsigned char*>(message.data()), message.size(),
             reinterpret_cast<const unsigned char*>(public_key.data())) == 0;
}

struct sha256_stream::state {
  crypto_hash_sha256_state hash;
};

sha256_stream::sha256_stream() : state_(new state) { crypto_hash_sha256_init(&state_->hash); }

sha256_stream::~sha256_stream() { sodium_memzero(&state_->hash, sizeof state_->hash); }

void sha256_stream::add(const void* bytes, size_t size) {
  crypto_hash_sha256_update(&state_->hash, static_cast<const unsigned char*>(bytes), size);
}

void sha256_stream::finish(uint8_t digest[32]) {
  static_assert(crypto_hash_sha256_BYTES == 32, "SHA-256 size");
  crypto_hash_sha256_final(&state_->hash, digest);
  crypto_hash_sha256_init(&state_->hash);
}

std::string sha256_stream::finish() {
  uint8_t digest[crypto_hash_sha256_BYTES];
  finish(digest);
  return hex_text(std::string(reinterpret_cast<const char*>(digest), sizeof digest));
}

std::string sha256_text(const std::string& bytes) {
  sha256_stream stream;
  stream.add(bytes.data(), bytes.size());
  return stream.finish();
}

std::string sha256_hasher::digest(const std::wstring& path) {
  file_handle file = file_handle::open_read(path);
  uint64_t size = 0;
  if (!file.is_open() || !file.size(size)) return std::string();
  if (buffer_.capacity() < file_piece && !buffer_.grow(file_piece)) return std::string();
  // Read to the end rather than to the size it had: the bytes hashed are
  // the bytes that are there.
  for (;;) {
    uint32_t got = 0;
    if (!file.read(buffer_.data(), file_piece, got)) {
      stream_.finish();
      return std::string();
    }
    if (got == 0) break;
    stream_.add(buffer_.data(), got);
  }
  return stream_.finish();
}

std::string index_signed_prefix(uint32_t gameupdate) {
  // A version file is JSON and starts with "{": neither document's
  // signature can pass for the other's.
  return "index " + std::to_string(gameupdate) + "\n";
}

std::string index_signed_message(uint32_t gameupdate, const std::string& index_bytes) {
  return index_signed_prefix(gameupdate) + index_bytes;
}

}  // namespace tsl
