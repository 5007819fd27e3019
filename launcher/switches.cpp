#include "launcher/switches.h"

#include "util/text.h"

namespace tsl {

namespace {
// "-name=N" with N of decimal digits that fits 32 bits; anything else is no
// such switch (and goes to the client like every argument).
bool read_number_switch(const std::wstring& argument, const std::wstring& name, uint64_t& value) {
  if (argument.size() <= name.size() ||
      !equals_ignore_case(std::wstring_view(argument).substr(0, name.size()), name)) {
    return false;
  }
  uint64_t n = 0;
  for (size_t i = name.size(); i < argument.size(); ++i) {
    const wchar_t c = argument[i];
    if (c < L'0' || c > L'9') return false;
    n = n * 10 + static_cast<uint64_t>(c - L'0');
    if (n > UINT32_MAX) return false;
  }
  value = n;
  return true;
}
}  // namespace

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
    } else if (read_number_switch(argument, L"-maxrate=", s.max_rate_kib)) {
      s.max_rate_given = true;
    }
  }
  return s;
}

}  // namespace tsl
