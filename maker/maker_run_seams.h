// What a test may set on a maker run that the product fixes: blocks of
// another size than packed_block_size, and a call after every piece read
// from an input file. Never included by the product.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "maker/maker_run.h"

namespace tsl {

struct maker_run_seams {
  static void set_block_size(maker_run& run, uint64_t size) { run.block_size_ = size; }
  static void set_read_observer(maker_run& run, std::function<void(const std::wstring&)> observer) {
    run.read_observer_ = std::move(observer);
  }
};

}  // namespace tsl
