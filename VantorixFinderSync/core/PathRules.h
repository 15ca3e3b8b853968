// How paths relate, as plain case-sensitive string tests: nothing is resolved, normalised or looked up on disk.
#pragma once

#include <string_view>

namespace vantorix {

// Whether `path` lies inside `folder`: it begins with the folder's path followed by "/". The folder itself is
// not inside itself.
inline bool isInsideFolder(std::string_view path, std::string_view folder) {
    return path.size() > folder.size() && path.substr(0, folder.size()) == folder && path[folder.size()] == '/';
}

}  // namespace vantorix
