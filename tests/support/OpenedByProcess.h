// What a process holds, read from /proc: its listening sockets and the files it has open for writing.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace vantorix::testing {

// The local addresses ("7F000001:6CBB" style, as /proc/net/tcp writes them) of the TCP sockets in LISTEN state
// that the process holds, in the caller's network namespace.
std::vector<std::string> listeningAddresses(pid_t pid);

// The regular files the process has open for writing (devices aside).
std::vector<std::string> filesOpenForWriting(pid_t pid);

}  // namespace vantorix::testing
