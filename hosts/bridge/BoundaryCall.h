// One line from the session service: a call across the file manager boundary, in the JSON lines of the host
// protocol (protocol/HostWire.h), such as {"t":…,"call":"setBadgeIdentifier","badge":…,"path":…,"url":…}, or
// the service's hello.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorix::bridge {

struct BoundaryCall {
    enum class Kind { Hello, SetBadgeImage, SetBadgeIdentifier, SetDirectoryURLs, BeginObserving, EndObserving, RequestBadge, Other };
    Kind kind = Kind::Other;
    std::string badge;                 // setBadgeImage, setBadgeIdentifier ("" removes)
    std::string path;                  // the item or folder; for setBadgeIdentifier the exact path of its URL
    std::vector<std::string> folders;  // setDirectoryURLs: the file paths of its URLs
    int protocol = 0;                  // hello: the protocol the service speaks
    nlohmann::ordered_json json;       // the line as read
};

// The call a line carries, or nothing with `problem` saying why when the line is not one: not JSON, not an
// object, no "t" or "call", or a known call without the fields it needs. A call of another name is kept as
// Kind::Other, for the trace.
std::optional<BoundaryCall> readBoundaryCall(std::string_view line, std::string& problem);

}  // namespace vantorix::bridge
