// The digest texts of bytes handed over in pieces, as the formats state
// them: SHA-1 (the empty text for no bytes, as for an empty file) and, when
// asked for, SHA-256. The one way every part of the program digests bytes
// it streams, whether it reads, writes or receives them.
// Threading: an object belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "codec/sha1.h"
#include "codec/signature.h"

namespace tsl {

struct digest_texts {
  std::string sha1;
  std::string sha256;  // empty unless asked for
};

class digest_stream {
 public:
  enum kinds : uint8_t { sha1 = 1, sha256 = 2, both = 3 };
  explicit digest_stream(kinds which = sha1) { begin(which); }

  // Starts anew, dropping whatever an unfinished stream held.
  void begin(kinds which);
  void add(const void* bytes, size_t size);
  uint64_t count() const { return count_; }
  // The texts of what was added; the stream must begin again after it.
  digest_texts finish();

 private:
  kinds which_ = sha1;
  Sha1Context sha1_;
  sha256_stream sha256_;
  bool sha256_open_ = false;
  uint64_t count_ = 0;
};

}  // namespace tsl
