// GUIDs for a new maker configuration. Threading: reentrant.
#pragma once

#include <cstdint>
#include <string>

namespace tsl {

// The fields of a GUID as the system lays them out.
struct guid_fields {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};
};

// A fresh GUID from the system (Windows: CoCreateGuid; POSIX: a random
// version-4 GUID from the system's random source). False when none is had.
bool make_system_guid(guid_fields& guid);

// 8-4-4-4-12 lowercase hexadecimal digits, without braces.
std::string guid_text(const guid_fields& guid);

// A fresh GUID text, from the system when it gives one.
std::string make_guid_text();

}  // namespace tsl
