#include "util/sync.h"

#include <gtest/gtest.h>

#include <thread>

namespace tsl {
namespace {

// The maker's finished event: every console handler that waits for it must
// pass, however many, and a wait after the set too.
TEST(Event, ManualResetLetsEveryWaitPassUntilReset) {
  event finished(true);
  std::thread first([&] { finished.wait(); });
  std::thread second([&] { finished.wait(); });
  finished.set();
  first.join();
  second.join();
  finished.wait();
}

}  // namespace
}  // namespace tsl
