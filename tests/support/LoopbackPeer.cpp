#include "LoopbackPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace vantorix::testing {

int listenOnLoopback(int port, bool nonBlocking, int& boundPort, const char* who) {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener, 1024) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::system_error(errno, std::generic_category(), std::string(who) + ": cannot listen on 127.0.0.1:" + std::to_string(port));
    }
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
    for (std::lock_guard lock(mutex_); int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
    for (auto& server : servers_) server.join();
}

void LoopbackPeer::acceptLoop() {
    while (!stopping_) {
        pollfd ready{listener_, POLLIN, 0};
        int fd = ::poll(&ready, 1, 20) > 0 ? ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        if (fd < 0) continue;
        std::lock_guard lock(mutex_);
        openFds_.push_back(fd);
        servers_.emplace_back([this, fd] { serve(fd); });
    }
}

void LoopbackPeer::serve(int fd) {
    PeerAnswer answer = PeerAnswer::silence();
    auto received = std::chrono::steady_clock::now();
    if (!neverReads_) {
        std::string line;
        for (char byte; !stopping_ && ::recv(fd, &byte, 1, 0) == 1 && byte != '\n';) line += byte;
        received = std::chrono::steady_clock::now();
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(line);
        }
        answer = handler_(line);
    }
    for (const auto& [delay, bytes] : answer.pieces) {
        std::this_thread::sleep_until(received + delay);
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    while (!answer.closeAfterLastPiece && !stopping_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::lock_guard lock(mutex_);
    ::close(fd);
    std::erase(openFds_, fd);
}

}  // namespace vantorix::testing
