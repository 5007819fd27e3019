// A sorted set of normalised path masks with its own lock.
// Threading: add and matches may be called from any thread.
#pragma once

#include <mutex>
#include <set>
#include <string>

namespace tsl {

class mask_list {
 public:
  void add(const std::wstring& mask);
  bool matches(const std::wstring& relative_path) const;

 private:
  mutable std::mutex lock_;
  std::set<std::wstring> masks_;  // REQUIRES: lock_ held
};

}  // namespace tsl
