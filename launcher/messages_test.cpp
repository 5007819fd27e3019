#include "launcher/messages.h"

#include <gtest/gtest.h>

#include "update/update_texts.h"

namespace tsl {
namespace {

TEST(Messages, TextsAsTheProgramShowsThem) {
  EXPECT_STREQ(texts::connecting.english, L"Connecting to update server... ");
  EXPECT_STREQ(texts::client_start_failed.english,
               L"An error occurred while starting the gamet.\nError: 0x%08X.\n\nPlease full check "
               L"your game client.");
  EXPECT_STREQ(texts::starting.russian, L"\x0417\x0430\x043f\x0443\x0441\x043a...");
}

}  // namespace
}  // namespace tsl
