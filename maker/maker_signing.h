// The publisher's signing key beside the maker: making a key pair, and
// reading the private key that every run then signs its documents with.
// Threading: reentrant.
#pragma once

#include <functional>
#include <string>

#include "maker/maker_layout.h"

namespace tsl {

// Writes a new key pair to paths.signing_key (owner-only) and
// paths.signing_public, and prints the public key in the form the launcher's
// build takes. Refuses, changing nothing, when either file exists.
bool generate_signing_keys(const maker_paths& paths,
                           const std::function<void(const std::string&)>& say);

enum class signing_key_state {
  absent,     // no key file: the run publishes unsigned
  loaded,     // `secret_key` holds the key
  malformed,  // a key file that cannot be used: the run must not publish
};
signing_key_state load_signing_key(const std::wstring& path, std::string& secret_key);

}  // namespace tsl
