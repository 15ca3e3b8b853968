// The host lines: what the extension's side of the host protocol (HostWire.h) tells a host, one JSON object per
// line, each with "t" (the time since the extension started, `at`, written as seconds to the millisecond) and
// "call". Written and read here
// only: the session service and trace mode write them, the hosts' bridge and the programs that join the service
// read them, and the tests use both.
//
// An item or folder is a file-system path, carried once: where a line names a URL (setBadgeIdentifier's "url",
// setDirectoryURLs' "urls") the reader takes the path from it, byte for byte; the "path" written beside a URL is
// its UTF-8 text, for people and tools. Strings that are not UTF-8 are written with U+FFFD for the bad bytes.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorix::host {

enum class Call {
    hello,                    // the service's first line on a host's connection
    setBadgeImage,            // a badge registered: badge, label, image
    setBadgeIdentifier,       // an item's badge: badge ("" removes), path
    setDirectoryURLs,         // the observed set: folders
    beginObservingDirectory,  // path
    endObservingDirectory,    // path
    requestBadgeIdentifier,   // path
    status,                   // the answer to the status command
    refresh,                  // the extension repainted the folder: ask again about its items (path)
    other,                    // a call this side does not know: kept for the trace, otherwise skipped
};
std::string_view nameOf(Call call);

// One call across the file-manager boundary.
struct BoundaryCall {
    Call call = Call::other;
    std::string badge;                 // setBadgeImage, setBadgeIdentifier
    std::string label, image;          // setBadgeImage
    std::string path;                  // the item or folder of the calls that name one
    std::vector<std::string> folders;  // setDirectoryURLs
    int protocol = 0;                  // hello
};

// The calls the extension's side makes, for writing.
BoundaryCall pathCall(Call call, std::string path);  // beginObservingDirectory, endObservingDirectory, requestBadgeIdentifier
BoundaryCall badgeCall(std::string path, std::string badge);
BoundaryCall imageCall(std::string badge, std::string label, std::string image);
BoundaryCall observedCall(std::vector<std::string> folders);

// The line of a call, line feed included.
std::string writeLine(const BoundaryCall& call, std::chrono::nanoseconds at);

// The hello: the protocol, the program and its version, its pid.
std::string writeHello(std::chrono::nanoseconds at, std::string_view version, int pid);

// The answer to `status`: the extension's backlog and sync folder, and, from the session service, the hosts joined
// and the folders shown by any of them.
struct StatusAnswer {
    struct Host {
        int pid = 0;
        std::string program;
        std::size_t shownFolders = 0;
    };
    struct Service {
        std::vector<Host> hosts;
        std::vector<std::string> folders;
        int pid = 0;
        std::string version;
    };
    bool waiting = false;
    std::size_t queued = 0, inFlight = 0, retrying = 0;
    std::optional<std::string> syncFolder;
    std::optional<Service> service;
};
std::string writeStatus(std::chrono::nanoseconds at, const StatusAnswer& status);

// The call a line carries, or nothing with `problem` saying why when the line is not one: not JSON, not an
// object, no "t" or "call", or a known call without the fields it needs (a path that is not absolute, a URL that
// is not a file URL). `json` gets the line as read.
std::optional<BoundaryCall> readLine(std::string_view line, nlohmann::ordered_json& json, std::string& problem);

}  // namespace vantorix::host
