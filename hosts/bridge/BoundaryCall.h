// One line of the extension process's output: a call across the file manager boundary, in the JSON of
// `vantorix-finder trace` ({"t":…,"call":"setBadgeIdentifier","badge":…,"path":…,"url":…} and the others).
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorix::nautilus {

struct BoundaryCall {
    enum class Kind { SetBadgeImage, SetBadgeIdentifier, SetDirectoryURLs, BeginObserving, EndObserving, RequestBadge, Other };
    Kind kind = Kind::Other;
    std::string badge;                 // setBadgeImage, setBadgeIdentifier ("" removes)
    std::string path;                  // the item or folder; for setBadgeIdentifier the exact path of its URL
    std::vector<std::string> folders;  // setDirectoryURLs: the file paths of its URLs
    nlohmann::ordered_json json;       // the line as read
};

// The call a line carries, or nothing with `problem` saying why when the line is not one: not JSON, not an
// object, no "t" or "call", or a known call without the fields it needs. A call of another name is kept as
// Kind::Other, for the trace.
std::optional<BoundaryCall> readBoundaryCall(std::string_view line, std::string& problem);

// The file path of a file: URL, percent-decoded to its bytes, without a trailing slash; nothing for other URLs.
std::optional<std::string> pathOfFileUrl(const std::string& url);

}  // namespace vantorix::nautilus
