// The names under which input files are published, as launchers will have
// to install them: the rules a name must meet and the claims that keep two
// files from sharing one published name.
// Threading: reentrant; a published_names object belongs to one thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace tsl {

// Why no launcher can install a file or directory of this name (the Windows
// rules of windows_name_problem, and UTF-16 that cannot become UTF-8); empty
// when one can.
std::wstring input_name_problem(const std::wstring& component);

// A name read from a POSIX directory: empty when it can be published, else
// the reason (not valid UTF-8, a backslash, which the program takes for a
// separator, or any reason of input_name_problem).
std::wstring posix_name_problem(const std::string& name);
// The name for a console line: bytes that are not UTF-8 written as \xNN.
std::wstring printable_name(const std::string& name);

// Windows compares names without regard to case, beyond ASCII too (Latin,
// Greek, Cyrillic, full-width Latin); names equal after this folding are one
// file on the players' disks.
std::wstring windows_case_fold(std::wstring text);

// The console lines of files that are left out.
std::string bad_name_line(const std::wstring& path, const std::wstring& reason);
std::string directory_link_line(const std::wstring& path);
std::string unlistable_directory_line(const std::wstring& path);

// The published names handed out in one run, in queue order. A file claims
// its key path, the key path with ".lzma2" (it may be packed) and each of
// the two with ".chunkmap" (its chunk map), and the directories above them;
// the update index claims "index.json", "index.json.lzma2" and
// "index.json.sig" beside the files. No name may be claimed both as a file
// and as a directory.
class published_names {
 public:
  published_names();
  // Empty when `key_path` is free, and claims it for `owner`; otherwise the
  // owner of the earlier claim it would share a name with.
  std::wstring claim(const std::wstring& key_path, const std::wstring& owner);

 private:
  struct claim_of {
    std::wstring owner;
    bool directory = false;
  };
  std::map<std::wstring, claim_of> owners_;  // folded name -> claim
};

std::string name_collision_line(const std::wstring& path, const std::wstring& earlier);

}  // namespace tsl
