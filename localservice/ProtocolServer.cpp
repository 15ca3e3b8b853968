#include "ProtocolServer.h"

#include "RequestLineReader.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
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
    bool answered = false, stalled = false;
    Fault fault = Fault::none;
    Clock::time_point lastActivity, sendAt;
};

// What a connection under the garbage fault is answered, picked by the request's length.
constexpr const char* kGarbage[] = {"\xFF\xFE garbage\n", "PONG|PONG|PONG\n", "0|1|2|3|4|5|6|7\n", "ERROR: nope\n", "\n"};

}  // namespace

std::optional<Fault> faultNamed(std::string_view word) {
    static constexpr std::pair<std::string_view, Fault> kNames[] = {{"none", Fault::none},       {"refuse", Fault::refuse}, {"stall", Fault::stall},
                                                                    {"garbage", Fault::garbage}, {"late", Fault::late},     {"close", Fault::closeEarly}};
    for (const auto& [name, fault] : kNames) {
        if (name == word) return fault;
    }
    return std::nullopt;
}

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
    address_ = address;
    port_ = port;
    return openListener(error);
}

bool ProtocolServer::openListener(std::string& error) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(static_cast<std::uint16_t>(port_));
    if (::inet_pton(AF_INET, address_.c_str(), &socketAddress.sin_addr) != 1) {
        error = "not an IPv4 address: " + address_;
        return false;
    }
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress) != 0 || ::listen(listener_, 4096) != 0) {
        error = "cannot listen on " + address_ + ":" + std::to_string(port_) + ": " + std::strerror(errno);
        ::close(listener_);
        listener_ = -1;
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
    // Returns false when the connection is to be closed without an answer.
    auto respond = [&](Connection& connection, const std::string& line, Clock::time_point now) {
        switch (connection.fault) {
        case Fault::closeEarly: return false;
        case Fault::stall: connection.stalled = true; return true;  // read on, and drop, until the client gives up
        case Fault::garbage: connection.out = kGarbage[line.size() % 5]; break;
        case Fault::late: connection.sendAt = now + std::chrono::milliseconds(2000 + line.size() % 3000); [[fallthrough]];
        default: connection.out = answer(line);
        }
        connection.answered = true;
        return true;
    };
    Fault fault = fault_;

    for (;;) {
        fds.clear();
        fds.push_back({stopFd, POLLIN, 0});
        fds.push_back({listener_, POLLIN, 0});
        auto now = Clock::now();
        for (const auto& [fd, connection] : connections) {
            bool sending = connection.answered && now >= connection.sendAt;
            fds.push_back({fd, static_cast<short>(connection.answered ? (sending ? POLLOUT : 0) : POLLIN), 0});
        }
        int wait = static_cast<int>(std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - now).count()));
        ::poll(fds.data(), fds.size(), wait);
        if (fds[0].revents & POLLIN) return;
        now = Clock::now();
        if (now >= nextTick) {
            tick();
            nextTick = now + tickInterval;
        }
        if (fault_ != fault) {
            // The fault ends for the connections it made misbehave; the listener closes only while refusing.
            for (auto it = connections.begin(); it != connections.end();) {
                if (it->second.fault == Fault::none) {
                    ++it;
                    continue;
                }
                ::close(it->first);
                it = connections.erase(it);
            }
            if (fault_ == Fault::refuse) ::close(listener_), listener_ = -1;
            std::string problem;
            if (fault == Fault::refuse && !openListener(problem)) std::fprintf(stderr, "vantorix-localservice: %s\n", problem.c_str());
            fault = fault_;
            continue;
        }
        if (listener_ >= 0 && (fds[1].revents & POLLIN)) {
            for (int fd; (fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                if (connections.size() >= kMaximumConnections) {
                    ::close(fd);
                    continue;
                }
                connections[fd].lastActivity = now;
                connections[fd].fault = fault;
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
                    std::optional<std::string> rest = connection.stalled ? std::nullopt : connection.reader.end();
                    if (!rest || !respond(connection, *rest, now)) {
                        close(fd);
                        continue;
                    }
                } else if (connection.stalled) {
                    continue;
                } else {
                    switch (connection.reader.take({buffer, static_cast<std::size_t>(n)})) {
                    case RequestLineReader::State::incomplete: continue;
                    case RequestLineReader::State::line:
                        if (!respond(connection, connection.reader.takeLine(), now)) {
                            close(fd);
                            continue;
                        }
                        break;
                    case RequestLineReader::State::tooLong:
                        connection.out = kRequestTooLongAnswer;
                        connection.answered = true;
                        break;
                    }
                }
                if (!connection.answered || now < connection.sendAt) continue;
            } else if (now < connection.sendAt) {
                close(fd);  // the client hung up before its late answer was due
                continue;
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
