#include "update/mask_list.h"

#include "util/text.h"

namespace tsl {

void mask_list::add(const std::wstring& mask) {
  std::wstring normalized = normalize_path_pattern(mask);
  mutex_lock hold(lock_);
  masks_.insert(std::move(normalized));
}

bool mask_list::matches(const std::wstring& relative_path) const {
  {
    // Most indexes have no masks at all; the check asks twice per entry.
    mutex_lock hold(lock_);
    if (masks_.empty()) return false;
  }
  std::wstring path = normalize_path_pattern(relative_path);
  mutex_lock hold(lock_);
  for (const auto& mask : masks_) {
    if (path_matches_pattern(mask, path)) return true;
  }
  return false;
}

}  // namespace tsl
