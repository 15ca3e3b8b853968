// The bridge's event loop in virtual time, and a session service the test plays on its real UNIX socket.
//
// FakeEventLoop: timeouts fall due on a virtual clock that only the test moves, or a callback that stands for work
// taking time (spend()); descriptors are real and polled without waiting. One dispatch runs the due timeouts and
// the ready watches, or, when there are none, the idle callbacks: idle work yields to everything else, as in GLib
// and Qt. When nothing is ready the clock jumps to the next timeout. Every run has a step limit.
#pragma once

#include "ChildProcess.h"
#include "EventLoop.h"
#include "ServiceSocket.h"
#include "protocol/HostWire.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace vantorix::bridge::testing {

class FakeEventLoop final : public EventLoop {
public:
    struct ServiceStart {
        std::int64_t at;
        std::function<void(bool, const std::string&)> done;
    };

    SourceId idle(Callback callback) override { return add({0, 0, -1, 0, std::move(callback)}); }
    SourceId timeout(unsigned milliseconds, Callback callback) override {
        std::int64_t interval = std::int64_t{milliseconds} * 1000;
        return add({now_ + interval, interval, -1, 0, std::move(callback)});
    }
    SourceId watch(int fd, int readiness, Callback callback) override { return add({0, 0, fd, readiness, std::move(callback)}); }
    void remove(SourceId source) override { sources_.erase(source); }
    void startService(const std::string&, std::function<void(bool, const std::string&)> done) override { starts.push_back({now_, std::move(done)}); }
    void log(LogLevel level, const std::string& message) override {
        logged += std::string(level == LogLevel::warning ? "warning: " : level == LogLevel::info ? "info: " : "debug: ") + message + "\n";
    }
    std::int64_t nowMicroseconds() const override { return now_; }

    // Work of `microseconds` inside a callback.
    void spend(std::int64_t microseconds) { now_ += microseconds; }
    std::int64_t nowMs() const { return now_ / 1000; }
    std::uint64_t dispatches() const { return dispatches_; }
    std::size_t sourceCount() const { return sources_.size(); }

    // Dispatches until `milliseconds` of virtual time have passed, or `until` holds; whether it holds.
    bool runFor(unsigned milliseconds, const std::function<bool()>& until = nullptr) {
        std::int64_t end = now_ + std::int64_t{milliseconds} * 1000;
        for (int steps = 0; steps < 100000; ++steps) {
            if (until && until()) return true;
            if (dispatch()) continue;
            std::int64_t next = end;
            for (const auto& [id, source] : sources_) {
                if (source.fd < 0 && source.interval > 0) next = std::min(next, source.due);
            }
            if (next <= now_ && now_ >= end) return until && until();
            now_ = std::max(now_, next);
        }
        ADD_FAILURE() << "the loop never went idle (step limit)";
        return false;
    }

    std::string logged;  // every line with its level first ("warning: ...")
    std::vector<ServiceStart> starts;  // the bus asked to start the service, not answered yet

private:
    struct Source {
        std::int64_t due, interval;  // a timeout: when it is due, and again every interval
        int fd, readiness;           // a watch: its descriptor and readiness
        Callback callback;           // neither: an idle callback
    };
    SourceId add(Source source) {
        sources_.emplace(++last_, std::move(source));
        return last_;
    }
    bool ready(const Source& source) const {
        if (source.fd >= 0) {
            pollfd polled{source.fd, static_cast<short>(((source.readiness & readable) ? POLLIN : 0) | ((source.readiness & writable) ? POLLOUT : 0)), 0};
            return ::poll(&polled, 1, 0) > 0;
        }
        return source.interval > 0 && source.due <= now_;
    }
    bool dispatch() {
        std::vector<SourceId> chosen;
        for (const auto& [id, source] : sources_) {
            if (ready(source)) chosen.push_back(id);
        }
        if (chosen.empty()) {
            for (const auto& [id, source] : sources_) {
                if (source.fd < 0 && source.interval == 0) chosen.push_back(id);
            }
        }
        for (SourceId id : chosen) {
            auto found = sources_.find(id);
            if (found == sources_.end()) continue;  // removed by a callback before it
            ++dispatches_;
            Callback callback = found->second.callback;
            bool again = callback();
            found = sources_.find(id);
            if (found == sources_.end()) continue;
            if (!again) sources_.erase(found);
            else if (found->second.interval > 0) found->second.due = now_ + found->second.interval;
        }
        return !chosen.empty();
    }

    std::int64_t now_ = 1000000;
    SourceId last_ = 0;
    std::uint64_t dispatches_ = 0;
    std::map<SourceId, Source> sources_;
};

// The session service's side of the socket, in a runtime folder of the test's own: claims the service's socket
// when asked, accepts, says what the test tells it and reads the commands it is sent.
class FakeService {
public:
    ~FakeService() { hangUp(); }
    void listen() { ASSERT_EQ(socket_.claim(runtime), session::ServiceSocket::Claim::listening) << socket_.error(); }
    // Takes the host's connection; whether there was one.
    bool accept() {
        hangUp();
        host_ = ::accept4(socket_.listeningFd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        return host_ >= 0;
    }
    void say(const std::string& bytes) { ASSERT_EQ(::send(host_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size())); }
    void hello(int protocol = host::kProtocolVersion) { say("{\"t\":0,\"call\":\"hello\",\"protocol\":" + std::to_string(protocol) + ",\"pid\":42}\n"); }
    // The commands received since the last call.
    std::string commands() {
        std::string got;
        char buffer[4096];
        for (ssize_t n; host_ >= 0 && (n = ::recv(host_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) got.append(buffer, static_cast<std::size_t>(n));
        return got;
    }
    void hangUp() {
        if (host_ >= 0) ::close(std::exchange(host_, -1));
    }

    vantorix::testing::TemporaryFolder folder{"vantorix-bridge"};
    const std::string runtime = folder.path;

private:
    session::ServiceSocket socket_;  // let go before the folder goes
    int host_ = -1;
};

}  // namespace vantorix::bridge::testing
