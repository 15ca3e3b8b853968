#include "SocketStreams.h"

#include "platform/StreamEnd.h"
#include "PosixDispatch.h"
#include "SocketOwner.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vantorix::posix {
namespace {

// How long a write on a stream that is still opening waits for the connection.
constexpr auto kWriteConnectWait = std::chrono::seconds(3);

int millisecondsUntil(MonotonicTime deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - monotonicClockNow()).count() + 1;
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// The connection both streams of a pair share. Its state changes under the mutex; the blocking waits poll
// without holding it.
class Connection {
public:
    Connection(std::string host, int port) : host_(std::move(host)), port_(port) {}
    ~Connection() {
        if (fd_ >= 0) ::close(fd_);
    }

    // Starts the connection on the first open of either stream.
    void open() {
        std::lock_guard lock(mutex_);
        if (state_ != StreamStatus::notOpen) return;
        sockaddr_storage address{};
        socklen_t length = 0;
        if (!resolve(address, length)) {
            fail(EINVAL);
            return;
        }
        fd_ = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            fail(errno);
            return;
        }
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0) {
            state_ = StreamStatus::open;
        } else if (errno == EINPROGRESS) {
            state_ = StreamStatus::opening;
        } else {
            fail(errno);
        }
    }

    // The connection's state, finishing a pending connect if the socket says it is done.
    StreamStatus status() {
        std::lock_guard lock(mutex_);
        if (state_ == StreamStatus::opening) settleConnect(std::chrono::milliseconds::zero());
        return state_;
    }

    bool waitUntilConnected(MonotonicTime deadline) {
        for (;;) {
            StreamStatus state = status();
            if (state != StreamStatus::opening) return state == StreamStatus::open;
            int timeout = millisecondsUntil(deadline);
            pollfd pfd{fd_, POLLOUT, 0};
            int ready = ::poll(&pfd, 1, timeout);
            if (ready == 0 && monotonicClockNow() >= deadline) return status() == StreamStatus::open;
        }
    }

    // 1: bytes waiting; 0: the peer closed; -1: nothing yet; -2: error.
    int peek() {
        char byte;
        ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) return 1;
        if (n == 0) return 0;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
        remember(errno);
        return -2;
    }

    bool hasBytesAvailable() {
        if (status() != StreamStatus::open) return false;
        return peek() == 1;
    }

    bool inputAtEnd() {
        if (status() != StreamStatus::open) return false;
        return peek() == 0;
    }

    ssize_t read(std::uint8_t* buffer, std::size_t maxLength) {
        StreamStatus state = status();
        if (state == StreamStatus::opening || state == StreamStatus::notOpen) return 0;
        if (state != StreamStatus::open) return -1;
        ssize_t n = ::recv(fd_, buffer, maxLength, MSG_DONTWAIT);
        if (n >= 0) return n;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
        remember(errno);
        return -1;
    }

    bool waitForBytes(MonotonicTime deadline) {
        for (;;) {
            StreamStatus state = status();
            if (state != StreamStatus::open && state != StreamStatus::opening) return false;
            if (state == StreamStatus::open) {
                int peeked = peek();
                if (peeked == 1) return true;
                if (peeked == 0 || peeked == -2) return false;
            }
            if (monotonicClockNow() >= deadline) return false;
            pollfd pfd{fd_, static_cast<short>(state == StreamStatus::open ? POLLIN : POLLOUT), 0};
            ::poll(&pfd, 1, millisecondsUntil(deadline));
        }
    }

    ssize_t write(const std::uint8_t* bytes, std::size_t length) {
        if (status() == StreamStatus::opening) {
            waitUntilConnected(monotonicClockNow() + std::chrono::duration_cast<Duration>(kWriteConnectWait));
        }
        if (status() != StreamStatus::open) return -1;
        ssize_t n = ::send(fd_, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) return n;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
        remember(errno);
        return -1;
    }

    std::optional<int> peerUserId() {
        if (status() != StreamStatus::open) return std::nullopt;
        sockaddr_storage self{}, peer{};
        socklen_t selfLength = sizeof self, peerLength = sizeof peer;
        if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&self), &selfLength) != 0) return std::nullopt;
        if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) return std::nullopt;
        return ownerOfPeerSocket(self, peer);
    }

    bool waitUntilWritable(MonotonicTime deadline) {
        for (;;) {
            StreamStatus state = status();
            if (state == StreamStatus::opening) {
                if (!waitUntilConnected(deadline)) return false;
                continue;
            }
            if (state != StreamStatus::open) return false;
            pollfd pfd{fd_, POLLOUT, 0};
            int ready = ::poll(&pfd, 1, millisecondsUntil(deadline));
            if (ready > 0) return (pfd.revents & (POLLERR | POLLHUP)) == 0;
            if (monotonicClockNow() >= deadline) return false;
        }
    }

private:
    bool resolve(sockaddr_storage& address, socklen_t& length) const {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        if (::inet_pton(AF_INET, host_.c_str(), &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(static_cast<std::uint16_t>(port_));
            length = sizeof(sockaddr_in);
            return true;
        }
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        if (::inet_pton(AF_INET6, host_.c_str(), &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(static_cast<std::uint16_t>(port_));
            length = sizeof(sockaddr_in6);
            return true;
        }
        return false;  // only numeric addresses: the extension talks to the loopback interface
    }

    // Called with the mutex held: the connection failed with `code`.
    void fail(int code) {
        state_ = StreamStatus::error;
        error_.store(code, std::memory_order_relaxed);
    }
    void remember(int code) { error_.store(code, std::memory_order_relaxed); }

public:
    int errorNumber() const { return error_.load(std::memory_order_relaxed); }

private:
    // Called with the mutex held while opening: moves to open or error once the connect has finished.
    void settleConnect(std::chrono::milliseconds wait) {
        pollfd pfd{fd_, POLLOUT, 0};
        if (::poll(&pfd, 1, static_cast<int>(wait.count())) <= 0) return;
        int error = 0;
        socklen_t size = sizeof(error);
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
            fail(errno);
        } else if (error != 0) {
            fail(error);
        } else {
            state_ = StreamStatus::open;
        }
    }

    const std::string host_;
    const int port_;
    std::mutex mutex_;
    int fd_ = -1;
    StreamStatus state_ = StreamStatus::notOpen;
    std::atomic<int> error_{0};
};

}  // namespace

StreamPair makeSocketStreams(const std::string& host, int port) {
    return makeStreamPair(std::make_shared<Connection>(host, port));
}

}  // namespace vantorix::posix

