#include "util/language.h"

#include "util/process.h"

namespace tsl {

uint16_t system_language() {
  static const uint16_t language = query_system_language();
  return language;
}

bool is_russian_language(uint16_t language) {
  return language == 1049 || language == 1058 || language == 1059;
}

const wchar_t* pick_text(const wchar_t* russian, const wchar_t* english) {
  return is_russian_language(system_language()) ? russian : english;
}

}  // namespace tsl
