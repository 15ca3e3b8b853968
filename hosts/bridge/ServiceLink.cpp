#include "ServiceLink.h"

#include "protocol/HostLines.h"
#include "protocol/HostSocket.h"
#include "protocol/HostWire.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace vantorix::bridge {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kReadsPerDispatch = 16;
// Lines read but not handled yet, beyond which reading pauses until they are handled. A folder of 10,000 items is
// some 1.3 MB of lines: a lower limit makes its burst wait on the service's side (256 KB took a new window of
// GNOME Files from 0.4 s to 1.3 s to its last emblem), and the line buffer gives the room back once drained.
constexpr std::size_t kHeldInputLimit = 4u << 20;
// Commands the service has not taken, beyond which new ones are dropped (a service that stopped reading).
constexpr std::size_t kQueuedOutputLimit = 8u << 20;
constexpr std::chrono::milliseconds kFirstBackoff{250};
constexpr std::chrono::milliseconds kLongestBackoff{30000};
// A full backlog on the service's socket clears in moments.
constexpr std::chrono::milliseconds kBusyRetry{100};
// A connection that lasted this long ended for another reason than a bad start: the back-off starts over.
constexpr std::chrono::seconds kSettled{10};
// A service that says nothing this long after the connection is not one.
constexpr std::chrono::seconds kHelloTimeout{5};

}  // namespace

ServiceLink::ServiceLink(EventLoop& loop, std::string runtimeDirectory, std::string host, Handlers handlers, HoldMeter& meter)
    : loop_(loop), runtime_(std::move(runtimeDirectory)), host_(std::move(host)), handlers_(std::move(handlers)), meter_(meter),
      backoff_(kFirstBackoff) {}

ServiceLink::~ServiceLink() {
    loop_.remove(retrySource_);
    loop_.remove(pumpSource_);
    loop_.remove(helloSource_);
    if (fd_ >= 0) {
        loop_.remove(readSource_);
        loop_.remove(writeSource_);
        ::close(fd_);
    }
}

void ServiceLink::start() { retryIn(std::chrono::milliseconds::zero()); }

void ServiceLink::retryIn(std::chrono::milliseconds delay) {
    if (retrySource_ != 0 || fd_ >= 0 || askingBus_) return;
    retrySource_ = loop_.timeout(static_cast<unsigned>(delay.count()), [this] {
        HoldMeter::Scope hold(meter_, "service connect");
        retrySource_ = 0;
        attempt();
        return false;
    });
}

void ServiceLink::retryAfterBackoff() {
    std::chrono::milliseconds delay = backoff_;
    backoff_ = std::min(backoff_ * 2, kLongestBackoff);
    retryIn(delay);
}

void ServiceLink::warnOnce(const std::string& message) {
    if (message == lastLogged_) return;
    lastLogged_ = message;
    loop_.log(EventLoop::LogLevel::warning, message);
}

void ServiceLink::attempt() {
    using State = host::HostSocket::State;
    host::HostSocket socket = host::connectHostSocket(runtime_, true);
    switch (socket.state) {
    case State::connected:
        adopt(socket.fd);
        return;
    case State::busy:
        retryIn(kBusyRetry);
        return;
    case State::absent:
        if (askingBus_) return;
        // No service runs: the session bus starts one, and the socket is tried again once it answers.
        askingBus_ = true;
        loop_.startService(host::kServiceBusName, [this, life = std::weak_ptr<int>(life_)](bool runs, const std::string& error) {
            if (life.expired()) return;
            HoldMeter::Scope hold(meter_, "service started");
            askingBus_ = false;
            if (!runs) warnOnce("the session bus could not start the Vantorix extension service: " + error);
            host::HostSocket again = host::connectHostSocket(runtime_, true);
            if (again.state == State::connected) {
                adopt(again.fd);
            } else {
                if (runs) warnOnce("the Vantorix extension service was started but cannot be reached: " + again.error);
                retryAfterBackoff();
            }
        });
        return;
    case State::unsafe:
        warnOnce("no badges: " + socket.error);
        if (runtime_.empty()) return;  // nothing will change while this process runs
        retryIn(kLongestBackoff);
        return;
    case State::failed:
        warnOnce("cannot reach the Vantorix extension service: " + socket.error);
        retryAfterBackoff();
        return;
    }
}

void ServiceLink::adopt(int fd) {
    fd_ = fd;
    joined_ = outputEnded_ = false;
    lines_.clear();
    queued_.clear();
    readSource_ = loop_.watch(fd_, EventLoop::readable, [this] {
        HoldMeter::Scope hold(meter_, "service lines");
        if (readAvailable()) return true;
        readSource_ = 0;
        return false;
    });
    helloSource_ = loop_.timeout(static_cast<unsigned>(std::chrono::milliseconds(kHelloTimeout).count()), [this] {
        helloSource_ = 0;
        closeConnection("the service said no hello within " + std::to_string(kHelloTimeout.count()) + " s");
        return false;
    });
}

void ServiceLink::send(host::CommandKind command, std::string_view argument) {
    if (!joined_ || fd_ < 0) return;
    if (queued_.size() > kQueuedOutputLimit) {
        warnOnce("the Vantorix extension service takes no commands; some are dropped");
        return;
    }
    queued_ += host::commandLine(command, argument);
    // Written when the socket is ready, with the commands queued meanwhile: one write for a burst.
    if (writeSource_ == 0) {
        writeSource_ = loop_.watch(fd_, EventLoop::writable, [this] {
            HoldMeter::Scope hold(meter_, "service commands");
            flush();
            if (!queued_.empty() && fd_ >= 0) return true;
            writeSource_ = 0;
            return false;
        });
    }
}

void ServiceLink::flush() {
    std::size_t sent = 0;
    while (sent < queued_.size()) {
        ssize_t written = ::send(fd_, queued_.data() + sent, queued_.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written > 0) {
            sent += static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;  // the rest when the socket is ready again
        } else {
            // The service stopped reading for good; the end of its lines tells the rest.
            queued_.clear();
            return;
        }
    }
    queued_.erase(0, sent);
}

bool ServiceLink::readAvailable() {
    char buffer[kReadChunk];
    bool paused = false;
    for (int reads = 0; reads < kReadsPerDispatch; ++reads) {
        if (lines_.pending() >= kHeldInputLimit) {
            paused = true;  // the pump watches again once it caught up
            break;
        }
        ssize_t got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            lines_.append(std::string_view(buffer, static_cast<std::size_t>(got)));
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            outputEnded_ = true;
            break;
        }
    }
    if (pumpSource_ == 0) {
        pumpSource_ = loop_.idle([this] {
            HoldMeter::Scope hold(meter_, "service lines");
            if (pump()) return true;
            pumpSource_ = 0;
            return false;
        });
    }
    return !outputEnded_ && !paused;
}

// Hands lines over for one slice; true while more are waiting.
bool ServiceLink::pump() {
    std::int64_t deadline = loop_.nowMicroseconds() + HoldMeter::kSliceMicroseconds;
    std::string line;
    while (fd_ >= 0 && lines_.next(line)) {
        if (!joined_) {
            takeHello(line);
        } else {
            try {
                if (handlers_.line) handlers_.line(line);
            } catch (const std::exception& error) {
                loop_.log(EventLoop::LogLevel::warning, std::string("a line from the service was not handled: ") + error.what());
            }
        }
        if (loop_.nowMicroseconds() >= deadline) return true;
    }
    if (fd_ < 0) return false;
    if (outputEnded_) {
        if (lines_.finish()) loop_.log(EventLoop::LogLevel::warning, "the service's connection ended in the middle of a line; the partial line is dropped");
        closeConnection("");
    } else if (readSource_ == 0) {
        readSource_ = loop_.watch(fd_, EventLoop::readable, [this] {
            HoldMeter::Scope hold(meter_, "service lines");
            if (readAvailable()) return true;
            readSource_ = 0;
            return false;
        });
    }
    return false;
}

void ServiceLink::takeHello(const std::string& line) {
    std::string problem;
    nlohmann::ordered_json json;
    std::optional<host::BoundaryCall> call = host::readLine(line, json, problem);
    if (!call || call->call != host::Call::hello) {
        closeConnection("the service's first line is no hello: " + line.substr(0, 120));
        return;
    }
    if (call->protocol != host::kProtocolVersion) {
        warnOnce("the Vantorix extension service speaks protocol " + std::to_string(call->protocol) + " and this " + host_ +
                " module protocol " + std::to_string(host::kProtocolVersion) + ": no badges until " + host_ +
                " is restarted and loads the module installed with the service");
        backoff_ = kLongestBackoff;  // before the close, which schedules the next attempt with it
        closeConnection("");
        return;
    }
    loop_.remove(helloSource_);
    helloSource_ = 0;
    joined_ = true;
    joinedAt_ = loop_.nowMicroseconds();
    servicePid_ = json.value("pid", 0);
    ++connections_;
    if (!lastLogged_.empty()) loop_.log(EventLoop::LogLevel::info, "joined the Vantorix extension service (pid " + std::to_string(servicePid_) + ")");
    lastLogged_.clear();
    if (handlers_.joined) handlers_.joined();
}

// The connection is over for the module, whether it ended, failed or was refused: lines still held are dropped.
void ServiceLink::closeConnection(const std::string& why) {
    if (fd_ < 0) return;
    if (!why.empty()) warnOnce(why);
    loop_.remove(readSource_);
    loop_.remove(writeSource_);
    loop_.remove(helloSource_);
    readSource_ = writeSource_ = helloSource_ = 0;
    ::close(fd_);
    fd_ = -1;
    queued_.clear();
    lines_.clear();
    bool wasJoined = std::exchange(joined_, false);
    if (wasJoined && handlers_.ended) handlers_.ended();
    if (wasJoined && std::chrono::microseconds(loop_.nowMicroseconds() - joinedAt_) >= kSettled) {
        backoff_ = kFirstBackoff;
        retryIn(std::chrono::milliseconds::zero());
    } else {
        retryAfterBackoff();
    }
}

}  // namespace vantorix::bridge
