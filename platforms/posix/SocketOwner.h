// Who owns the other end of a loopback TCP connection: the user of the peer's socket, asked of the kernel's
// socket table by the connection's addresses (the sock_diag netlink interface, or /proc/net/tcp and tcp6 where
// netlink cannot answer). Needs no privilege.
#pragma once

#include <optional>
#include <sys/socket.h>

namespace vantorix::posix {

// The user owning the socket whose local address is `peer` and whose remote address is `self` (the peer's side
// of a connection seen from `self`). Nothing when the kernel does not know it.
std::optional<int> ownerOfPeerSocket(const sockaddr_storage& self, const sockaddr_storage& peer);

}  // namespace vantorix::posix
