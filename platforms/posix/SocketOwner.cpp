#include "SocketOwner.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <unistd.h>

namespace vantorix::posix {
namespace {

int portOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
}

// The 16 address bytes of the diag socket id: an IPv4 address takes the first four.
void copyAddress(const sockaddr_storage& address, __be32* out) {
    if (address.ss_family == AF_INET) std::memcpy(out, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, 4);
    else std::memcpy(out, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, 16);
}

// One diag socket per thread, kept open: a check then costs a send and a receive, not also the making and closing
// of a socket, on every exchange. Each request carries a sequence number of its own, so that an answer to an earlier
// request that came after its wait ended is skipped; any failure closes the socket, and the next check makes another.
class DiagSocket {
public:
    DiagSocket() = default;
    DiagSocket(const DiagSocket&) = delete;
    DiagSocket& operator=(const DiagSocket&) = delete;
    ~DiagSocket() { reset(); }

    int fd() {
        if (fd_ >= 0) return fd_;
        fd_ = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        timeval timeout{1, 0};
        if (fd_ >= 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        return fd_;
    }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    std::uint32_t nextSequence() { return ++sequence_; }

private:
    int fd_ = -1;
    std::uint32_t sequence_ = 0;
};

thread_local DiagSocket diagSocket;

std::optional<int> askNetlink(const sockaddr_storage& self, const sockaddr_storage& peer) {
    int fd = diagSocket.fd();
    if (fd < 0) return std::nullopt;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.header.nlmsg_seq = diagSocket.nextSequence();
    message.request.sdiag_family = static_cast<__u8>(peer.ss_family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0U;
    message.request.id.idiag_sport = htons(static_cast<std::uint16_t>(portOf(peer)));
    message.request.id.idiag_dport = htons(static_cast<std::uint16_t>(portOf(self)));
    copyAddress(peer, message.request.id.idiag_src);
    copyAddress(self, message.request.id.idiag_dst);
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (::send(fd, &message, sizeof message, 0) != static_cast<ssize_t>(sizeof message)) {
        diagSocket.reset();
        return std::nullopt;
    }
    // The answer is one message: the socket's, or an error when the kernel does not know it.
    for (int late = 0; late < 8; ++late) {
        alignas(nlmsghdr) char buffer[8192];
        ssize_t length = ::recv(fd, buffer, sizeof buffer, 0);
        auto* header = reinterpret_cast<nlmsghdr*>(buffer);
        if (length <= 0 || !NLMSG_OK(header, static_cast<unsigned>(length))) break;
        if (header->nlmsg_seq != message.header.nlmsg_seq) continue;  // an earlier request's late answer
        if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return std::nullopt;
        return static_cast<int>(reinterpret_cast<inet_diag_msg*>(NLMSG_DATA(header))->idiag_uid);
    }
    diagSocket.reset();
    return std::nullopt;
}

// /proc/net/tcp writes addresses as the hex of their bytes in memory, then ":" and the port in hex.
std::string procAddress(const sockaddr_storage& address) {
    char text[64];
    const auto* bytes = address.ss_family == AF_INET ? reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in&>(address).sin_addr)
                                                     : reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr);
    std::string hex;
    for (std::size_t i = 0; i < (address.ss_family == AF_INET ? 4u : 16u); i += 4) {
        std::snprintf(text, sizeof text, "%02X%02X%02X%02X", bytes[i + 3], bytes[i + 2], bytes[i + 1], bytes[i]);
        hex += text;
    }
    std::snprintf(text, sizeof text, ":%04X", portOf(address));
    return hex + text;
}

std::optional<int> askProc(const sockaddr_storage& self, const sockaddr_storage& peer) {
    std::ifstream table(peer.ss_family == AF_INET ? "/proc/net/tcp" : "/proc/net/tcp6");
    std::string line, wantedLocal = procAddress(peer), wantedRemote = procAddress(self);
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits;
        int uid = -1;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid)) continue;
        if (local == wantedLocal && remote == wantedRemote) return uid;
    }
    return std::nullopt;
}

}  // namespace

std::optional<int> ownerOfPeerSocket(const sockaddr_storage& self, const sockaddr_storage& peer) {
    if (auto owner = askNetlink(self, peer)) return owner;
    return askProc(self, peer);
}

}  // namespace vantorix::posix
