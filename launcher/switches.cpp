#include "launcher/switches.h"

#include "util/text.h"

namespace tsl {

launcher_switches match_switches(const std::vector<std::wstring>& arguments) {
  launcher_switches s;
  for (const auto& argument : arguments) {
    if (equals_ignore_case(argument, std::wstring(L"-patchmaker"))) {
      s.maker = true;
    } else if (equals_ignore_case(argument, std::wstring(L"-sleep"))) {
      s.pause = true;
    } else if (equals_ignore_case(argument, std::wstring(L"-noupdate"))) {
      s.no_update = true;
    } else if (equals_ignore_case(argument, std::wstring(L"-verify"))) {
      s.verify = true;
    } else if (equals_ignore_case(argument, std::wstring(L"-genkey"))) {
      s.genkey = true;
    } else if (equals_ignore_case(argument, std::wstring(L"-unsigned"))) {
      s.publish_unsigned = true;
    }
  }
  return s;
}

}  // namespace tsl
