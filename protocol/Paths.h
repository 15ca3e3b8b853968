// How paths relate, as plain case-sensitive string tests: nothing is resolved, normalised or looked up on disk.
// The extension, the file manager stand-in, the session service and the hosts' bridge all decide with these
// what a folder holds and what an observed set covers.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace vantorix {

// Whether `path` lies inside `folder`: it begins with the folder's path followed by "/". The folder itself is
// not inside itself.
inline bool isInsideFolder(std::string_view path, std::string_view folder) {
    return path.size() > folder.size() && path.substr(0, folder.size()) == folder && path[folder.size()] == '/';
}

// Whether a set of folders covers the path: the path equals one of them or lies inside one. This is what
// "observed" means for a directory against the extension's observed set.
template <typename Folders>
bool isCoveredBy(std::string_view path, const Folders& folders) {
    return std::any_of(folders.begin(), folders.end(),
                       [&](const auto& folder) { return path == folder || isInsideFolder(path, folder); });
}

// The path without trailing slashes, the root staying "/": how every side names a folder.
inline std::string_view withoutTrailingSlash(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return path;
}

// The folder holding the path: "/a/b" -> "/a", "/a" -> "/". A view into `path` (or of "/"), made without
// allocating: the status cache asks it for every path it stores.
inline std::string_view parentFolder(std::string_view path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace vantorix
