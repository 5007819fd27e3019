# shellcheck shell=bash
# The PE32 test guest: where it is cached and how it is named (sourced by
# build-pe32-guest.sh, pe32-stage.sh and run-tests.sh).
# The files below make up its recipe; their digest names the cache folder, so
# a changed recipe builds a new guest beside the old one and never reuses it.
pe32_guest_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
pe32_guest_cache=${TSL_GUEST_CACHE:-/var/cache/tessaly-reach}
pe32_guest_recipe=(build-pe32-guest.sh pe32-guest/packages pe32-guest/init pe32-guest/prepare.sh)
pe32_guest_digest=$(cd "$pe32_guest_scripts" && cat "${pe32_guest_recipe[@]}" | sha256sum | cut -c1-16)
pe32_guest_dir=$pe32_guest_cache/pe32-guest-$pe32_guest_digest

# True when the guest of this recipe is built and complete.
pe32_guest_ready() {
  [ -f "$pe32_guest_dir/ready" ] && [ -f "$pe32_guest_dir/root.img" ]
}
