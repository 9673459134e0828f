// Finding directory entries by shell mask (FindFirstFile, FindNextFile, FindClose).
#pragma once

#include <string_view>

namespace platform {

// Whether name matches mask: '*' stands for any run of characters, '?' for one; a mask that ends
// in ".*" also matches the name without that part, so "*.*" matches every name and "a.*" matches
// "a". Case counts, as in the file system.
bool MatchesShellMask(std::string_view mask, std::string_view name);

}  // namespace platform
