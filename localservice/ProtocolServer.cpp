#include "ProtocolServer.h"

#include "RequestLineReader.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace vantorix::localservice {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kIdleLimit = std::chrono::seconds(10);

struct Connection {
    RequestLineReader reader{ProtocolServer::kMaximumLine};
    std::string out;
    std::size_t sent = 0;
    bool answered = false;
    Clock::time_point lastActivity;
};

}  // namespace

ProtocolServer::~ProtocolServer() {
    if (listener_ >= 0) ::close(listener_);
}

bool ProtocolServer::listen(const std::string& address, int port, std::string& error) {
    // Many clients at once are normal; take every descriptor the system allows.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &socketAddress.sin_addr) != 1) {
        error = "not an IPv4 address: " + address;
        return false;
    }
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress) != 0 || ::listen(listener_, 4096) != 0) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void ProtocolServer::serve(const Answer& answer, const Tick& tick, std::chrono::milliseconds tickInterval, int stopFd) {
    std::map<int, Connection> connections;
    std::vector<pollfd> fds;
    auto nextTick = Clock::now();
    auto close = [&](int fd) {
        ::close(fd);
        connections.erase(fd);
    };
    auto respond = [&](Connection& connection, const std::string& line) {
        connection.out = answer(line);
        connection.answered = true;
    };

    for (;;) {
        fds.clear();
        fds.push_back({stopFd, POLLIN, 0});
        fds.push_back({listener_, POLLIN, 0});
        for (const auto& [fd, connection] : connections) {
            fds.push_back({fd, static_cast<short>(connection.answered ? POLLOUT : POLLIN), 0});
        }
        auto now = Clock::now();
        int wait = static_cast<int>(std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - now).count()));
        ::poll(fds.data(), fds.size(), wait);
        if (fds[0].revents & POLLIN) return;
        now = Clock::now();
        if (now >= nextTick) {
            tick();
            nextTick = now + tickInterval;
        }
        if (fds[1].revents & POLLIN) {
            for (int fd; (fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                if (connections.size() >= kMaximumConnections) {
                    ::close(fd);
                    continue;
                }
                connections[fd].lastActivity = now;
            }
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            int fd = fds[i].fd;
            auto found = connections.find(fd);
            if (found == connections.end()) continue;
            Connection& connection = found->second;
            if (fds[i].revents == 0) {
                if (now - connection.lastActivity > kIdleLimit) close(fd);
                continue;
            }
            connection.lastActivity = now;
            if (!connection.answered) {
                char buffer[65536];
                ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                if (n <= 0) {
                    // Closed before a line feed: what came is the request, if anything came at all.
                    std::optional<std::string> rest = connection.reader.end();
                    if (!rest) {
                        close(fd);
                        continue;
                    }
                    respond(connection, *rest);
                } else {
                    switch (connection.reader.take({buffer, static_cast<std::size_t>(n)})) {
                    case RequestLineReader::State::incomplete: continue;
                    case RequestLineReader::State::line: respond(connection, connection.reader.takeLine()); break;
                    case RequestLineReader::State::tooLong:
                        connection.out = kRequestTooLongAnswer;
                        connection.answered = true;
                        break;
                    }
                }
            }
            // Write the answer, at once where the socket takes it whole.
            ssize_t n = ::send(fd, connection.out.data() + connection.sent, connection.out.size() - connection.sent, MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) {
                close(fd);
                continue;
            }
            connection.sent += static_cast<std::size_t>(n);
            if (connection.sent == connection.out.size()) close(fd);
        }
    }
}

}  // namespace vantorix::localservice
