#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "util/command_line.h"
#include "util/native_path.h"
#include "util/process.h"
#include "util/text.h"

extern char** environ;

namespace tsl {

std::wstring image_path() {
  std::vector<char> buffer(4096);
  ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return std::wstring();
  // Inside the program paths use '\'; the system's '/' come back at the call.
  return replace_all(utf8_to_wide(std::string(buffer.data(), static_cast<size_t>(n))), L"/", L"\\");
}

std::wstring executable_directory() { return directory_of(image_path()); }

std::wstring process_command_line() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::wstring> pieces;
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find('\0', start);
    if (end == std::string::npos) end = raw.size();
    pieces.push_back(quote_argument(utf8_to_wide(raw.substr(start, end - start))));
    start = end + 1;
  }
  return join_strings(pieces, L" ");
}

bool start_process(const std::wstring& command_line, const std::wstring& working_directory,
                   uint32_t& error) {
  std::vector<std::wstring> arguments = split_command_line(command_line);
  if (arguments.empty()) {
    error = ENOENT;
    return false;
  }
  std::vector<std::string> storage;
  storage.push_back(native_path(arguments[0]));
  for (size_t i = 1; i < arguments.size(); ++i) storage.push_back(wide_to_utf8(arguments[i]));
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(&s[0]);
  argv.push_back(nullptr);

  // Files the launcher installed came over HTTP without Unix modes; the
  // program it was asked to start (the client, or its own new executable)
  // gets the execute permission it needs.
  struct stat st;
  if (access(argv[0], X_OK) != 0 && stat(argv[0], &st) == 0 && S_ISREG(st.st_mode)) {
    chmod(argv[0], st.st_mode | ((st.st_mode & 0444) >> 2));
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::string directory = native_path(working_directory);
  if (!working_directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  pid_t pid = 0;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    error = static_cast<uint32_t>(rc);
    return false;
  }
  return true;
}

bool set_environment_variable(const std::wstring& name, const std::wstring& value) {
  return setenv(wide_to_utf8(name).c_str(), wide_to_utf8(value).c_str(), 1) == 0;
}

uint16_t query_system_language() {
  const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::string locale;
  for (const char* name : names) {
    const char* v = std::getenv(name);
    if (v && *v) {
      locale = v;
      break;
    }
  }
  std::string language = to_lower_ascii(locale.substr(0, locale.find_first_of("_.@")));
  std::string territory;
  size_t underscore = locale.find('_');
  if (underscore != std::string::npos) {
    territory =
        locale.substr(underscore + 1, locale.find_first_of(".@", underscore) - underscore - 1);
  }
  if (language == "ru") return territory == "MD" ? 2073 : 1049;
  if (language == "uk") return 1058;
  if (language == "be") return 1059;
  if (language == "de") return 1031;
  if (language == "fr") return 1036;
  if (language == "en" && territory == "GB") return 2057;
  return 1033;
}

void sleep_milliseconds(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint32_t current_process_id() { return static_cast<uint32_t>(getpid()); }

uint64_t available_memory() {
  // MemAvailable counts the page cache that can be given back; the free
  // pages of sysconf do not, and on a build server that has read much they
  // are few.
  if (FILE* meminfo = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    unsigned long long kib = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, meminfo)) {
      found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
    }
    std::fclose(meminfo);
    if (found) return kib * 1024;
  }
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}

}  // namespace tsl
