// A host's connection to the session service's socket, $XDG_RUNTIME_DIR/vantorix/finder.sock, made only where
// both the folder and the socket belong to this user (the folder with no access for anyone else), and kept only
// when the process listening on it runs as this user too. A path owned by another user is never followed.
#pragma once

#include <string>

namespace vantorix::host {

struct HostSocket {
    enum class State {
        connected,  // fd is the connection
        absent,     // no service listens there (no folder, no socket, or a stale socket): ask for one to be started
        busy,       // the service's backlog is full for now: try again shortly
        unsafe,     // the folder, the socket or the listener is not this user's: never connect
        failed,     // anything else; `error` says what
    };
    State state = State::failed;
    int fd = -1;
    std::string error;
};

// Connects to the service of `runtimeDirectory` (the value of XDG_RUNTIME_DIR; empty is an error). With
// `nonBlocking` the connection is non-blocking; a UNIX socket's connect never waits either way.
HostSocket connectHostSocket(const std::string& runtimeDirectory, bool nonBlocking);

// The uid and pid of the process at the other end of a UNIX socket; false when the kernel does not say.
bool peerCredentials(int fd, int& uid, int& pid);

}  // namespace vantorix::host
