// The command-line side of the session service: `vantorix-finder status` and `vantorix-finder trace --join`
// connect to the running service as a host would, check its hello, and (for --join) have the session bus start
// it first when none runs. These may block: they are programs of their own, not guests in a file manager.
#pragma once

#include <string>

namespace vantorix::finder {

struct ServiceConnection {
    int fd = -1;          // blocking; -1 when there is none
    std::string hello;    // the service's first line, line feed included
    std::string error;    // why there is none
    bool running = true;  // false: no service runs (as opposed to one that cannot be used)
};

// Connects to this user's service; with `start`, asks the session bus to start one when none runs.
ServiceConnection connectToService(bool start);

// `vantorix-finder status`: what the running service knows, for a person. 0, or 3 when no service runs.
int runStatus();
// `vantorix-finder trace --join`: trace mode against the running service instead of an extension of its own.
int runJoinedTrace();

}  // namespace vantorix::finder
