#include "SimulatedNetwork.h"

#include "protocol/Wire.h"
#include "platform/StreamEnd.h"
#include "SimulatedPlatform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vantorix::simulation {

ScriptedLocalService::ScriptedLocalService() {
    handler_ = [this](const std::string& line) -> Reply {
        ParsedRequest request = parseRequestLine(line);
        switch (request.kind) {
        case RequestKind::ping: return Reply::text(std::string(kPongWord) + "\n");
        case RequestKind::syncPath: return Reply::text(syncPath_ + "\n");
        case RequestKind::batchStatus: return Reply::text(defaultBatchAnswer(*this, std::string(request.paths)) + "\n");
        case RequestKind::unknown: break;
        }
        return Reply::text("ERROR: unknown request\n");
    };
}

void ScriptedLocalService::setAvailability(Availability availability, Duration connectDelay) {
    availability_ = availability;
    connectDelay_ = connectDelay;
}

void ScriptedLocalService::setStatus(const std::string& path, std::string code) { statuses_[path] = std::move(code); }

std::string ScriptedLocalService::statusOf(const std::string& path) const {
    auto found = statuses_.find(path);
    return found == statuses_.end() ? "0" : found->second;
}

std::vector<ReceivedRequest> ScriptedLocalService::requestsStartingWith(const std::string& prefix) const {
    std::vector<ReceivedRequest> selected;
    for (const auto& request : requests_) {
        if (request.line.rfind(prefix, 0) == 0) selected.push_back(request);
    }
    return selected;
}

ConnectionScript ScriptedLocalService::takeConnectionScript() {
    ConnectionScript script{availability_, connectDelay_, std::nullopt};
    if (!scripts_.empty()) {
        std::swap(script, scripts_.front());
        scripts_.pop_front();
    }
    return script;
}

Reply ScriptedLocalService::replyTo(MonotonicTime at, const std::string& line) {
    record(at, line);
    return handler_(line);
}

std::string defaultBatchAnswer(const ScriptedLocalService& service, const std::string& pathsString) {
    std::vector<std::string> codes;
    for (const auto& path : splitOnSeparator(pathsString)) codes.push_back(service.statusOf(path));
    return joinPaths(codes);
}

namespace {

// One simulated TCP connection, shared by its two streams.
class SimulatedConnection {
public:
    SimulatedConnection(SimulatedPlatform& platform, ScriptedLocalService& service, bool reachable)
        : platform_(platform), service_(service), reachable_(reachable) {}

    ~SimulatedConnection() {
        if (counted_) service_.connectionClosed();
    }

    void open() {
        if (opened_) return;
        opened_ = true;
        openedAt_ = platform_.monotonicNow();
        script_ = reachable_ ? service_.takeConnectionScript() : ConnectionScript{Availability::refusing, Duration::zero(), std::nullopt};
        owner_ = service_.owner();
        if (script_.availability != Availability::refusing) {
            counted_ = true;
            service_.connectionOpened();
        }
    }

    StreamStatus status() const {
        if (!opened_) return StreamStatus::notOpen;
        switch (script_.availability) {
        case Availability::refusing:
            return StreamStatus::error;
        case Availability::slowConnect:
            if (platform_.monotonicNow() < connectedAt()) return StreamStatus::opening;
            return StreamStatus::open;
        default:
            return StreamStatus::open;
        }
    }

    MonotonicTime connectedAt() const {
        return openedAt_ + (script_.availability == Availability::slowConnect ? script_.connectDelay : Duration::zero());
    }

    std::size_t bytesArrived() const {
        std::size_t total = 0;
        for (const auto& [at, bytes] : arrivals_) {
            if (at <= platform_.monotonicNow()) total += bytes.size();
        }
        return total;
    }

    // A refused connection says so; a simulated peer fails in no other way that has an errno.
    int errorNumber() const { return opened_ && script_.availability == Availability::refusing ? ECONNREFUSED : 0; }

    std::optional<int> peerUserId() const {
        if (status() != StreamStatus::open) return std::nullopt;
        return owner_;
    }

    bool hasBytesAvailable() const { return status() == StreamStatus::open && bytesArrived() > readOffset_; }

    bool peerClosed() const { return closesAt_ && *closesAt_ <= platform_.monotonicNow(); }

    bool inputAtEnd() const { return status() == StreamStatus::open && peerClosed() && bytesArrived() <= readOffset_; }

    std::optional<MonotonicTime> nextChange() const {
        std::optional<MonotonicTime> next;
        MonotonicTime now = platform_.monotonicNow();
        auto consider = [&](MonotonicTime at) {
            if (at > now && (!next || at < *next)) next = at;
        };
        if (status() == StreamStatus::opening) consider(connectedAt());
        for (const auto& arrival : arrivals_) consider(arrival.first);
        if (closesAt_) consider(*closesAt_);
        return next;
    }

    ssize_t read(std::uint8_t* buffer, std::size_t maxLength) {
        StreamStatus state = status();
        if (state == StreamStatus::notOpen || state == StreamStatus::opening) return 0;
        if (state != StreamStatus::open) return -1;
        std::string available;
        for (const auto& [at, bytes] : arrivals_) {
            if (at <= platform_.monotonicNow()) available += bytes;
        }
        std::size_t count = std::min(maxLength, available.size() - std::min(readOffset_, available.size()));
        std::memcpy(buffer, available.data() + readOffset_, count);
        readOffset_ += count;
        return static_cast<ssize_t>(count);
    }

    bool waitForBytes(MonotonicTime deadline) {
        platform_.waitUntil(
            [this] {
                StreamStatus state = status();
                return (state != StreamStatus::open && state != StreamStatus::opening) || hasBytesAvailable() || inputAtEnd();
            },
            [this] { return nextChange(); }, deadline);
        return hasBytesAvailable();
    }

    bool waitUntilConnected(MonotonicTime deadline) {
        platform_.waitUntil([this] { return status() != StreamStatus::opening; }, [this] { return nextChange(); }, deadline);
        return status() == StreamStatus::open;
    }

    ssize_t write(const std::uint8_t* bytes, std::size_t length) {
        if (status() == StreamStatus::opening) waitUntilConnected(platform_.monotonicNow() + std::chrono::seconds(3));
        if (status() != StreamStatus::open) return -1;
        if (script_.availability == Availability::acceptsButNeverReads) {
            std::size_t room = ScriptedLocalService::kStalledPeerBuffer - std::min(written_.size(), ScriptedLocalService::kStalledPeerBuffer);
            length = std::min(length, room);
            if (length == 0) return 0;
            written_.append(reinterpret_cast<const char*>(bytes), length);
            return static_cast<ssize_t>(length);
        }
        written_.append(reinterpret_cast<const char*>(bytes), length);
        if (!answered_) {
            if (auto lineEnd = written_.find('\n'); lineEnd != std::string::npos) answer(written_.substr(0, lineEnd));
        }
        return static_cast<ssize_t>(length);
    }

    bool waitUntilWritable(MonotonicTime deadline) {
        if (!waitUntilConnected(deadline)) return false;
        if (script_.availability == Availability::acceptsButNeverReads && written_.size() >= ScriptedLocalService::kStalledPeerBuffer) {
            platform_.waitUntil([] { return false; }, nullptr, deadline);
            return false;
        }
        return true;
    }

private:
    void answer(const std::string& line) {
        answered_ = true;
        MonotonicTime now = platform_.monotonicNow();
        Reply reply;
        if (script_.reply) {
            service_.record(now, line);
            reply = *script_.reply;
        } else {
            reply = service_.replyTo(now, line);
        }
        MonotonicTime last = now;
        for (auto& piece : reply.pieces) {
            MonotonicTime at = now + piece.delay;
            last = std::max(last, at);
            if (!piece.bytes.empty()) arrivals_.emplace_back(at, std::move(piece.bytes));
        }
        if (reply.closeAfterLastPiece) closesAt_ = last;
    }

    SimulatedPlatform& platform_;
    ScriptedLocalService& service_;
    const bool reachable_;
    bool opened_ = false;
    bool counted_ = false;
    bool answered_ = false;
    MonotonicTime openedAt_{};
    ConnectionScript script_;
    std::string written_;
    std::vector<std::pair<MonotonicTime, std::string>> arrivals_;
    std::optional<MonotonicTime> closesAt_;
    std::size_t readOffset_ = 0;
    int owner_ = ScriptedLocalService::kUser;
};

}  // namespace

StreamPair makeSimulatedStreams(SimulatedPlatform& platform, ScriptedLocalService& service, const std::string& host, int port) {
    bool reachable = (host == kServiceHost || host == "localhost") && port == kServicePort;
    return makeStreamPair(std::make_shared<SimulatedConnection>(platform, service, reachable));
}

}  // namespace vantorix::simulation
