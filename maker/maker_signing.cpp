#include "maker/maker_signing.h"

#include "codec/signature.h"
#include "util/file_system.h"
#include "util/text.h"

namespace tsl {

bool generate_signing_keys(const maker_paths& paths,
                           const std::function<void(const std::string&)>& say) {
  for (const std::wstring* path : {&paths.signing_key, &paths.signing_public}) {
    if (path_exists(*path)) {
      // A key that launchers already trust must never be lost to a typo.
      say(format_narrow("!!! %S exists; move it away first to make a new key pair\n", *path));
      return false;
    }
  }
  std::string public_key, secret_key;
  if (!make_signing_keys(public_key, secret_key)) {
    say("!!! Could not make a key pair\n");
    return false;
  }
  const std::string public_text = hex_text(public_key);
  std::string secret_text = hex_text(secret_key) + "\n";
  const bool written = create_private_file(paths.signing_key, secret_text);
  secret_text.assign(secret_text.size(), '0');
  secret_key.assign(secret_key.size(), '\0');
  if (!written) {
    say(format_narrow("!!! Error writing file: %S\n", paths.signing_key));
    return false;
  }
  if (!write_file_atomic(paths.signing_public, public_text + "\n")) {
    // Half a pair is no pair: the next try starts from nothing.
    delete_file(paths.signing_key);
    say(format_narrow("!!! Error writing file: %S\n", paths.signing_public));
    return false;
  }
  say(format_narrow("Signing key written to %S (keep it offline; never upload it).\n",
                    paths.signing_key));
  say(format_narrow("Public key: %s\n", public_text));
  say(format_narrow("Build the launcher with -DTSL_UPDATE_PUBLIC_KEY=%s\n", public_text));
  return true;
}

signing_key_state load_signing_key(const std::wstring& path, std::string& secret_key) {
  if (!path_exists(path)) return signing_key_state::absent;
  std::string text;
  if (!read_whole_file(path, text) || !parse_hex(text, signing_secret_key_bytes, secret_key)) {
    return signing_key_state::malformed;
  }
  // The key must sign what its own public half accepts: a damaged key would
  // publish signatures that every launcher refuses.
  const std::string probe = "probe";
  const std::string public_key =
      secret_key.substr(signing_secret_key_bytes - signing_public_key_bytes);
  if (!verify_detached(probe, sign_detached(probe, secret_key), public_key)) {
    return signing_key_state::malformed;
  }
  return signing_key_state::loaded;
}

}  // namespace tsl
