// What a test may set on an update session that the product takes from the
// build or the machine: the hosts, the pause between attempts, the key, the
// free space of a volume, and a call before each step of a worker. Never
// included by the product.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "update/game_launcher.h"

namespace tsl {

struct game_launcher_seams {
  // After prepare: other hosts than the compiled-in ones.
  static void set_hosts(game_launcher& s, std::vector<std::string> hosts) {
    s.hosts_ = std::move(hosts);
  }
  static void set_retry_delay(game_launcher& s, uint32_t milliseconds) {
    s.retry_delay_ = milliseconds;
  }
  // The key (raw bytes) the documents must be signed with; empty: none.
  static void set_public_key(game_launcher& s, std::string key) { s.public_key_ = std::move(key); }
  // Answers the download worker's question for the free bytes of a volume.
  static void set_free_space_query(game_launcher& s,
                                   std::function<bool(const std::wstring&, uint64_t&)> query) {
    s.free_space_ = std::move(query);
  }
  // The floor below which a transfer leaves its host for another.
  static void set_slow_host_rule(game_launcher& s, long bytes_per_second, long seconds) {
    s.slow_bytes_per_second_ = bytes_per_second;
    s.slow_seconds_ = seconds;
  }
  // Called by the workers before each step of a task; it may throw.
  static void set_worker_hook(game_launcher& s,
                              std::function<void(const update_task&, bool unpacking)> hook) {
    s.worker_hook_ = std::move(hook);
  }
};

}  // namespace tsl
