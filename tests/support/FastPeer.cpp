#include "FastPeer.h"
#include "LoopbackPeer.h"

#include "protocol/Wire.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace vantorix::bench {

FastPeer::FastPeer(int port, std::string syncFolder) : syncFolder_(std::move(syncFolder)) {
    listener_ = testing::listenOnLoopback(port, true, port_, "fast peer");
    thread_ = std::thread([this] { run(); });
}

FastPeer::~FastPeer() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
}

std::string FastPeer::answer(const std::string& line) {
    ++requests_;
    if (line == "PING") return "PONG\n";
    if (line == "GET_SYNC_PATH") return syncFolder_ + "\n";
    if (line.rfind("BATCH_STATUS:", 0) == 0) {
        ++batches_;
        return joinPaths(std::vector<std::string>(countPieces(std::string_view(line).substr(13)), "0")) + "\n";
    }
    return "ERROR: unknown request\n";
}

void FastPeer::run() {
    std::map<int, std::string> pending;  // connection -> bytes of its request so far
    std::vector<pollfd> fds;
    while (!stopping_) {
        fds.clear();
        fds.push_back({listener_, POLLIN, 0});
        for (const auto& entry : pending) fds.push_back({entry.first, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
        if (fds[0].revents & POLLIN) {
            for (int fd; (fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) pending[fd];
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            int fd = fds[i].fd;
            char buffer[65536];
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                ::close(fd);
                pending.erase(fd);
                continue;
            }
            std::string& request = pending[fd];
            request.append(buffer, static_cast<std::size_t>(n));
            std::size_t newline = request.find('\n');
            if (newline == std::string::npos) continue;
            std::string reply = answer(request.substr(0, newline));
            ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::close(fd);
            pending.erase(fd);
        }
    }
    for (const auto& entry : pending) ::close(entry.first);
}

}  // namespace vantorix::bench
