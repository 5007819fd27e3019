// Every text the launcher shows exists in Russian and English; the system
// default language, read once per process, picks one.
// Threading: system_language() is initialised once under the language's
// thread-safe static initialisation; later reads are plain.
#pragma once

#include <cstdint>

namespace tsl {

struct localized_text {
  const wchar_t* russian;
  const wchar_t* english;
};

uint16_t system_language();
// True for 1049, 1058 and 1059 (Russian, Ukrainian, Belarusian), full
// identifiers compared: 2073 (Russian - Moldova) is English.
bool is_russian_language(uint16_t language);
const wchar_t* pick_text(const wchar_t* russian, const wchar_t* english);
inline const wchar_t* pick_text(const localized_text& text) {
  return pick_text(text.russian, text.english);
}

namespace texts {

extern const localized_text starting;
extern const localized_text update_failed;
extern const localized_text error_detail;
extern const localized_text restart_failed;
extern const localized_text client_start_failed;

// The update session's status lines.
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
