// The entry's own texts: start-up status and message boxes, in both
// languages (pick_text chooses one).
#pragma once

#include "util/language.h"

namespace tsl {
namespace texts {

extern const localized_text starting;
extern const localized_text update_failed;
extern const localized_text error_detail;
extern const localized_text restart_failed;
extern const localized_text client_start_failed;

}  // namespace texts
}  // namespace tsl
