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

// One call across the file manager boundary, line feed included, "t" being `seconds`.
std::string boundaryLine(const FinderEvent& event, double seconds);

// The service's first line on a host's connection: the protocol, the program and its version, its pid.
std::string helloLine(double seconds);

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
std::string statusLine(double seconds, const VantorixFinderSync::Backlog& backlog, const std::optional<std::string>& syncFolder,
                       const ServiceSummary* service);

// The seconds since `start` on the monotonic clock, to the millisecond, as "t" gives them.
double secondsSince(Platform& platform, MonotonicTime start);

}  // namespace vantorix::finder
