// The one rule for the language of the texts the launcher shows: every text
// exists in Russian and English, and the system default language, read once
// per process, picks one.
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

}  // namespace tsl
