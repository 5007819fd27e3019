#include "maker/maker_guid.h"

#include <random>

#include "util/text.h"

namespace tsl {

std::string guid_text(const guid_fields& guid) {
  return format_narrow("%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", guid.data1,
                       unsigned{guid.data2}, unsigned{guid.data3}, unsigned{guid.data4[0]},
                       unsigned{guid.data4[1]}, unsigned{guid.data4[2]}, unsigned{guid.data4[3]},
                       unsigned{guid.data4[4]}, unsigned{guid.data4[5]}, unsigned{guid.data4[6]},
                       unsigned{guid.data4[7]});
}

std::string make_guid_text() {
  guid_fields guid;
  if (!make_system_guid(guid)) {
    // Not expected; a configuration still needs a GUID that is not all zeros.
    std::random_device source;
    guid.data1 = source();
    guid.data2 = static_cast<uint16_t>(source());
    guid.data3 = static_cast<uint16_t>((source() & 0x0FFF) | 0x4000);
    for (auto& b : guid.data4) b = static_cast<uint8_t>(source());
    guid.data4[0] = static_cast<uint8_t>((guid.data4[0] & 0x3F) | 0x80);
  }
  return guid_text(guid);
}

}  // namespace tsl
