// A sorted set of normalised path masks with its own lock.
// Threading: add and matches may be called from any thread.
#pragma once

#include <set>
#include <string>

#include "util/sync.h"

namespace tsl {

class mask_list {
 public:
  void add(const std::wstring& mask) EXCLUDES(lock_);
  bool matches(const std::wstring& relative_path) const EXCLUDES(lock_);

 private:
  mutable mutex lock_;
  std::set<std::wstring> masks_ GUARDED_BY(lock_);
};

}  // namespace tsl
