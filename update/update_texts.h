// The status lines of the update session, in both languages (pick_text
// chooses one).
#pragma once

#include "util/language.h"

namespace tsl {
namespace texts {

extern const localized_text connecting;
extern const localized_text connection_attempt;
extern const localized_text checking_game_files;
extern const localized_text checking_file;
extern const localized_text downloading_file;
extern const localized_text downloading_file_percent;
extern const localized_text unpacking;
extern const localized_text download_failed;
extern const localized_text unpack_failed;
extern const localized_text files_updated;

}  // namespace texts
}  // namespace tsl
