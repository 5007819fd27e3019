#include "maker/maker_guid.h"

#include <windows.h>
#include <objbase.h>

#include <cstring>

namespace tsl {

bool make_system_guid(guid_fields& guid) {
  GUID made;
  if (FAILED(CoCreateGuid(&made))) return false;
  guid.data1 = made.Data1;
  guid.data2 = made.Data2;
  guid.data3 = made.Data3;
  std::memcpy(guid.data4, made.Data4, 8);
  return true;
}

}  // namespace tsl
