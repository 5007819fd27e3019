// A stand-in for the game client. Each start appends one JSON line to
// "client-record.jsonl" beside the executable: its arguments, its working
// directory, the TSLLAUNCHER variable and (on Windows) the raw command line,
// so tests and the demo can see exactly what the launcher passed.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "util/file_system.h"
#include "util/process.h"
#include "util/text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

std::wstring working_directory() {
#ifdef _WIN32
  wchar_t buffer[4096];
  DWORD n = GetCurrentDirectoryW(4096, buffer);
  return std::wstring(buffer, n);
#else
  char buffer[4096];
  return getcwd(buffer, sizeof buffer) ? tsl::utf8_to_wide(buffer) : std::wstring();
#endif
}

int record(const std::vector<std::wstring>& arguments) {
  nlohmann::json line;
  line["args"] = nlohmann::json::array();
  for (const auto& a : arguments) line["args"].push_back(tsl::wide_to_utf8(a));
  line["cwd"] = tsl::wide_to_utf8(working_directory());
  const char* flag = std::getenv("TSLLAUNCHER");
  line["tsllauncher"] = flag ? nlohmann::json(flag) : nlohmann::json();
  line["command_line"] = tsl::wide_to_utf8(tsl::process_command_line());
  line["image"] = tsl::wide_to_utf8(tsl::image_path());
  std::wstring path = tsl::join_path(tsl::executable_directory(), L"client-record.jsonl");
  std::FILE* f = tsl::open_c_file(path, "ab");
  if (!f) return 3;
  std::string text = line.dump() + "\n";
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
  return 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> arguments(argv + 1, argv + argc);
  return record(arguments);
}
#else
int main(int argc, char** argv) {
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(tsl::utf8_to_wide(argv[i]));
  return record(arguments);
}
#endif
