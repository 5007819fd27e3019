// Primitives each platform supplies to file_system.cpp. Internal to util/.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "util/file_system.h"

namespace tsl {
namespace platform {

constexpr uint32_t attribute_directory = 0x10;
constexpr uint32_t attribute_reparse_point = 0x400;

// Windows-style attribute bits of an existing path; false when it is missing.
bool get_attributes(const std::wstring& path, uint32_t& attributes);
// Whether two names name one entry of a folder: Windows ignores letter case
// and the dots and blanks that end a name; POSIX takes names as they are.
bool same_name(const std::wstring& a, const std::wstring& b);
bool make_directory(const std::wstring& path);
bool remove_empty_directory(const std::wstring& path);
// Calls `entry` for every name in `directory` matching the wildcard `mask`
// (the platform's file-name rules; "*.*" and "*" select everything), "." and
// ".." included where the platform reports them. False when it cannot start.
bool enumerate(const std::wstring& directory, const std::wstring& mask,
               const std::function<void(const std::wstring& name, bool is_directory)>& entry);
// A name for a temporary file beside `path`, unique within this process.
std::wstring temporary_sibling(const std::wstring& path);
// The file that `path` names once symbolic links are followed (the path
// itself when it is no link, or when it does not exist).
std::wstring link_target(const std::wstring& path);
// Gives `to` the permission bits of `from`; false when either is missing.
bool copy_permissions(const std::wstring& from, const std::wstring& to);
// Replace-by-move; a read-only target is made writable first. `durable`:
// the move is on disk when this returns (written through on Windows, the
// directory synced on POSIX).
place_result replace_by_move(const std::wstring& from, const std::wstring& to, bool durable);
// Puts the data of the existing file `from` on disk, then replaces `to` by
// it as replace_by_move with `durable` does. in_use: another program holds
// either open and lets nobody write, rename or replace it.
place_result flush_and_replace(const std::wstring& from, const std::wstring& to);
// flush_and_replace for each move, in order, as place_files describes.
std::vector<place_result> flush_and_replace_all(const std::vector<file_move>& moves);

}  // namespace platform

// True, with errno EACCES, when the calling thread's write_fence refuses
// `path`: every writing function asks first.
bool fence_refuses(const std::wstring& path, bool folder = false);
}  // namespace tsl
