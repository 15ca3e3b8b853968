// The lines the extension's side of the host protocol writes (protocol/HostWire.h): one JSON object per line,
// for trace mode's standard output and for the session service's hosts alike. Strings that are not UTF-8 are
// written with U+FFFD in place of the bad bytes.
#pragma once

#include "FinderStandIn.h"
#include "VantorixFinderSync.h"

#include <optional>
#include <string>
#include <vector>

namespace vantorix::finder {

// Every line's "t" is `at`, the time since the router started, written as seconds to the millisecond.

// One call across the file manager boundary, line feed included.
std::string boundaryLine(const FinderEvent& event, Duration at);

// The service's first line on a host's connection: the protocol, the program and its version, its pid.
std::string helloLine(Duration at);

// A host as the status line lists it.
struct HostSummary {
    int pid = 0;
    std::string program;
    std::size_t shownFolders = 0;
};

// What the service adds to the answer to `status`: the hosts joined and the folders shown by any of them.
struct ServiceSummary {
    std::vector<HostSummary> hosts;
    std::vector<std::string> folders;
};

// The answer to `status`: the extension's backlog and sync folder, and the service's summary when it answers.
std::string statusLine(Duration at, const VantorixFinderSync::Backlog& backlog, const std::optional<std::string>& syncFolder,
                       const ServiceSummary* service);

}  // namespace vantorix::finder
