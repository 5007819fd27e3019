// The patch maker: turns the `input` tree beside the executable into update
// data in `output` (version file, numbered index plain and packed, published
// files), remembering what it published in `cache.json`.
// Threading: runs on the main thread; the console control thread only sets
// the stop flag and waits for the maker finished event.
#pragma once

#include <string>

namespace tsl {

// False when it only created the configuration or cannot read it; true when
// the run went through, including a run that was stopped early.
// `publish_unsigned`: -unsigned was given (maker_run::set_unsigned_allowed).
bool run_patch_maker(bool publish_unsigned);

// -patchmaker -genkey: writes signing.key and signing.pub beside the
// executable and prints the public key. False when either exists already.
bool run_key_maker();

}  // namespace tsl
