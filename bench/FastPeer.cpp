#include "FastPeer.h"
#include "LoopbackPeer.h"

#include "protocol/Wire.h"

#include <algorithm>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace vantorix::bench {
namespace {

struct Connection {
    std::string request;           // bytes of the request so far
    std::string reply;             // the answer, once the request line is complete
    bool held = false;             // left unanswered by an outage: closed at `due`, or when the outage ends
    std::chrono::steady_clock::time_point due;  // when the reply is written
    bool answered = false;
};

}  // namespace

FastPeer::FastPeer(int port, std::string syncFolder) : syncFolder_(std::move(syncFolder)) {
    listener_ = testing::listenOnLoopback(port, true, port_, "fast peer");
    thread_ = std::thread([this] { run(); });
}

FastPeer::~FastPeer() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
}

void FastPeer::startOutage(std::chrono::milliseconds length, std::chrono::milliseconds hold) {
    holdMs_ = hold.count();
    outageEnd_ = (Clock::now() + length).time_since_epoch().count();
}

bool FastPeer::inOutage() const { return Clock::now().time_since_epoch().count() < outageEnd_.load(); }

std::size_t FastPeer::unansweredPaths() const {
    std::lock_guard lock(mutex_);
    return unanswered_.size();
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
    std::map<int, Connection> connections;
    std::vector<pollfd> fds;
    auto drop = [&](int fd) {
        ::close(fd);
        connections.erase(fd);
    };
    while (!stopping_) {
        auto now = Clock::now();
        bool outage = inOutage();
        // Answers that are due go out; held connections end with the outage.
        int wait = 20;
        for (auto it = connections.begin(); it != connections.end();) {
            Connection& connection = it->second;
            int fd = it->first;
            ++it;
            if (connection.held) {
                if (!outage || connection.due <= now) drop(fd);
                else wait = std::min<int>(wait, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(connection.due - now).count()) + 1);
            } else if (connection.answered && !connection.held) {
                if (connection.due <= now) {
                    ::send(fd, connection.reply.data(), connection.reply.size(), MSG_NOSIGNAL);
                    drop(fd);
                } else {
                    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(connection.due - now).count() + 1;
                    wait = std::min<int>(wait, static_cast<int>(left));
                }
            }
        }
        fds.clear();
        fds.push_back({listener_, POLLIN, 0});
        for (const auto& [fd, connection] : connections) {
            if (!connection.answered) fds.push_back({fd, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), wait) <= 0) continue;
        if (fds[0].revents & POLLIN) {
            for (int fd; (fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) connections[fd];
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            int fd = fds[i].fd;
            char buffer[65536];
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                drop(fd);
                continue;
            }
            Connection& connection = connections[fd];
            connection.request.append(buffer, static_cast<std::size_t>(n));
            std::size_t newline = connection.request.find('\n');
            if (newline == std::string::npos) continue;
            std::string line = connection.request.substr(0, newline);
            connection.answered = true;
            if (inOutage()) {
                if (line.rfind("BATCH_STATUS:", 0) == 0) {
                    std::lock_guard lock(mutex_);
                    for (auto& path : splitOnSeparator(std::string_view(line).substr(13))) unanswered_.insert(std::move(path));
                }
                connection.held = true;
                connection.due = Clock::now() + std::chrono::milliseconds(holdMs_.load());
                if (holdMs_.load() == 0) drop(fd);
                continue;
            }
            connection.reply = answer(line);
            connection.due = Clock::now();
            if (line.rfind("BATCH_STATUS:", 0) == 0) connection.due += std::chrono::milliseconds(batchDelayMs_.load());
        }
    }
    for (const auto& entry : connections) ::close(entry.first);
}

}  // namespace vantorix::bench
