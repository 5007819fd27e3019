#include "codec/digest_stream.h"

#include <algorithm>

namespace tsl {

void digest_stream::begin(kinds which) {
  if (sha256_open_) sha256_.finish();
  reset(sha1_);
  which_ = which;
  sha256_open_ = (which & sha256) != 0;
  count_ = 0;
}

void digest_stream::add(const void* bytes, size_t size) {
  count_ += size;
  if (sha256_open_) sha256_.add(bytes, size);
  if (!(which_ & sha1)) return;
  const auto* at = static_cast<const uint8_t*>(bytes);
  // The SHA-1 core takes 32-bit lengths.
  for (size_t done = 0; done < size;) {
    const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(size - done, 1u << 30));
    update(sha1_, at + done, piece);
    done += piece;
  }
}

digest_texts digest_stream::finish() {
  digest_texts out;
  if ((which_ & sha1) && count_ != 0) {
    uint8_t digest[20];
    final(sha1_, digest);
    out.sha1 = digest_text(digest);
  }
  if (sha256_open_) {
    out.sha256 = sha256_.finish();
    sha256_open_ = false;
  }
  return out;
}

}  // namespace tsl
