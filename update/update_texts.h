// The status lines of the update session, in both languages (pick_text
// chooses one), and its error texts that more than one place gives.
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

// The session's error text when the player closed the window (English in
// both languages, as every error text).
constexpr const wchar_t* cancelled_by_user = L"Cancelled by user";

}  // namespace texts
}  // namespace tsl
