// The simulated platform's network: every connection to 127.0.0.1:27835 reaches an in-memory scripted local
// service. Time is the platform's virtual time.
//
// What the service does is decided in two steps. When a connection is opened, its availability decides its fate
// (accepted, refused, slow to connect, accepted but never read). When a whole request line has been written, the
// handler decides the reply: pieces that arrive after delays counted from the request, then a close, or silence.
// One-shot scripts (scriptNext) override both for the next connections, in order, so a test can give each
// request its own behaviour.
#pragma once

#include "platform/Streams.h"

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace vantorix::simulation {

class SimulatedPlatform;

struct Reply {
    struct Piece {
        Duration delay;  // after the request line was complete
        std::string bytes;
    };
    std::vector<Piece> pieces;
    bool closeAfterLastPiece = true;  // false: the connection stays open and silent afterwards

    static Reply text(std::string bytes, Duration delay = Duration::zero()) { return Reply{{{delay, std::move(bytes)}}, true}; }
    static Reply silence() { return Reply{{}, false}; }
    static Reply closeWithoutAnswer(Duration delay = Duration::zero()) { return Reply{{{delay, ""}}, true}; }
    static Reply inPieces(std::vector<Piece> pieces) { return Reply{std::move(pieces), true}; }
};

enum class Availability {
    up,                  // connections are made at once
    refusing,            // nothing listens: the connection fails at once
    slowConnect,         // connections complete only after connectDelay
    acceptsButNeverReads // connections are made, the peer never reads: writes fill the socket buffer, then stall
};

struct ConnectionScript {
    Availability availability = Availability::up;
    Duration connectDelay = Duration::zero();
    std::optional<Reply> reply;  // none: the handler answers
};

struct ReceivedRequest {
    MonotonicTime at;
    std::string line;  // without the line feed
};

class ScriptedLocalService {
public:
    using Handler = std::function<Reply(const std::string& requestLine)>;

    // The default handler answers "PONG" to PING, the sync path to GET_SYNC_PATH and "0" per path to
    // BATCH_STATUS, and "ERROR: unknown request" otherwise.
    ScriptedLocalService();

    void setHandler(Handler handler) { handler_ = std::move(handler); }
    void setAvailability(Availability availability, Duration connectDelay = Duration::zero());
    Availability availability() const { return availability_; }
    void setSyncPath(std::string path) { syncPath_ = std::move(path); }
    // The user who owns the listening socket, for the connections opened from now on.
    void setOwner(int uid) { owner_ = uid; }
    int owner() const { return owner_; }
    // The user the simulated extension runs as.
    static constexpr int kUser = 1000;
    // The status code the default handler gives a path ("0" unless set).
    void setStatus(const std::string& path, std::string code);
    std::string statusOf(const std::string& path) const;
    void scriptNext(ConnectionScript script) { scripts_.push_back(std::move(script)); }

    // Bytes a peer that never reads lets a client write before writes stall.
    static constexpr std::size_t kStalledPeerBuffer = 64 * 1024;

    const std::vector<ReceivedRequest>& requests() const { return requests_; }
    void clearRequests() { requests_.clear(); }
    // Requests whose line starts with `prefix`.
    std::vector<ReceivedRequest> requestsStartingWith(const std::string& prefix) const;
    int connectionsOpened() const { return connectionsOpened_; }
    int connectionsOpenNow() const { return connectionsOpenNow_; }

    // Used by the simulated streams.
    ConnectionScript takeConnectionScript();
    Reply replyTo(MonotonicTime at, const std::string& line);
    void record(MonotonicTime at, const std::string& line) { requests_.push_back({at, line}); }
    void connectionOpened() { ++connectionsOpened_, ++connectionsOpenNow_; }
    void connectionClosed() { --connectionsOpenNow_; }

private:
    Handler handler_;
    Availability availability_ = Availability::up;
    Duration connectDelay_ = Duration::zero();
    std::string syncPath_ = "/Users/someone/Vantorix";
    int owner_ = kUser;
    std::unordered_map<std::string, std::string> statuses_;
    std::deque<ConnectionScript> scripts_;
    std::vector<ReceivedRequest> requests_;
    int connectionsOpened_ = 0;
    int connectionsOpenNow_ = 0;
};

// Makes the stream pair of one simulated connection.
StreamPair makeSimulatedStreams(SimulatedPlatform& platform, ScriptedLocalService& service, const std::string& host, int port);

// The default handler's answer to a BATCH_STATUS line: one code per non-empty piece, joined by "|".
std::string defaultBatchAnswer(const ScriptedLocalService& service, const std::string& pathsString);

}  // namespace vantorix::simulation
