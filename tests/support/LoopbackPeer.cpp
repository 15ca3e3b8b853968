#include "LoopbackPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vantorix::testing {

int listenOnLoopback(int port, bool nonBlocking, int& boundPort, const char* who) {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 1024) != 0) {
        std::fprintf(stderr, "%s: cannot listen on 127.0.0.1:%d: %s\n", who, port, std::strerror(errno));
        std::abort();
    }
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    boundPort = ntohs(address.sin_port);
    return listener;
}

LoopbackPeer::LoopbackPeer(Handler handler, int port) : handler_(std::move(handler)) {
    listener_ = listenOnLoopback(port, false, port_, "loopback peer");
    acceptor_ = std::thread([this] { acceptLoop(); });
}

LoopbackPeer::~LoopbackPeer() {
    stopping_ = true;
    acceptor_.join();
    ::close(listener_);
    {
        std::lock_guard lock(mutex_);
        for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& server : servers_) server.join();
}

std::vector<std::string> LoopbackPeer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void LoopbackPeer::acceptLoop() {
    while (!stopping_) {
        pollfd pfd{listener_, POLLIN, 0};
        if (::poll(&pfd, 1, 20) <= 0) continue;
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++connections_;
        std::lock_guard lock(mutex_);
        openFds_.push_back(fd);
        servers_.emplace_back([this, fd] { serve(fd); });
    }
}

void LoopbackPeer::serve(int fd) {
    std::string line;
    char byte;
    PeerAnswer answer = PeerAnswer::silence();
    if (!neverReads_) {
        while (!stopping_ && ::recv(fd, &byte, 1, 0) == 1 && byte != '\n') line += byte;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(line);
        }
        answer = handler_(line);
    }
    for (const auto& [delay, bytes] : answer.pieces) {
        std::this_thread::sleep_for(delay);
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    if (!answer.close) {
        while (!stopping_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard lock(mutex_);
    ::close(fd);
    std::erase(openFds_, fd);
}

}  // namespace vantorix::testing
