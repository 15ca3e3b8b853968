// The service exchange: one request line on a fresh loopback connection, one response taken from a single
// read, decoded as UTF-8 and trimmed. PING, GET_SYNC_PATH and BATCH_STATUS all run it with their own
// parameters.
//
// Where a polling client would sleep and look again, the exchange waits on the stream's readiness with the same
// deadline: the outcomes are the same, and an answer is taken the moment it arrives.
#pragma once

#include "../platform/Platform.h"

#include <cstddef>
#include <optional>
#include <string>

namespace vantorix {

struct ExchangeParameters {
    std::string request;                 // the whole request line, line feed included
    bool waitForOutputOpen;              // whether the connection must be open within openWait before writing
    Duration openWait;                   // how long the connection may take to open, when waited for
    Duration writeLimit;                 // how long writing the whole request may take
    std::size_t receiveCapacity;         // the most bytes of the response that are read
    Duration responseWait;               // how long the first response bytes may take
};

enum class ExchangeFailure {
    streamCreation,  // the stream pair is missing a stream
    notOpened,       // the connection was not open in time, or failed
    writeFailed,     // a write failed, or the request was not written in time
    noResponse,      // no response bytes in time, the peer closed first, or the read failed
    notUtf8,         // the response bytes are not valid UTF-8
    strangerPeer,    // the socket at the other end belongs to another user (not this one, not root): nothing was sent
};

struct ExchangeOutcome {
    std::optional<std::string> response;  // the trimmed response text, on success
    ExchangeFailure failure = ExchangeFailure::noResponse;  // why not, otherwise
    int errorNumber = 0;                  // the errno behind the failure, when the connection had one
    std::optional<int> peerUserId;        // who owns the peer, for strangerPeer (nothing: it could not be told)

    // What went wrong, in words, for a log entry: the errno's text when there is one.
    std::string cause() const;
};

// Before the first byte of the request, the peer's owner is checked: it must be this process's user or root.
ExchangeOutcome runServiceExchange(Platform& platform, const std::string& host, int port, const ExchangeParameters& parameters);

// The parameters of each command.
ExchangeParameters pingExchange();
ExchangeParameters syncPathExchange();
ExchangeParameters batchStatusExchange(const std::string& pathsString);

}  // namespace vantorix
