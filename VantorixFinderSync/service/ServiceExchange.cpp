#include "ServiceExchange.h"

#include "protocol/Utf8.h"
#include "protocol/Wire.h"

#include <system_error>
#include <vector>

namespace vantorix {
namespace {

using namespace std::chrono_literals;

// Closes the input stream, then the output stream, on every way out.
struct StreamCloser {
    StreamPair& streams;
    ~StreamCloser() {
        streams.input->close();
        streams.output->close();
    }
};

}  // namespace

ExchangeParameters pingExchange() { return {pingRequest(), true, 100ms, 2s, kPingAnswerLimit, 1500ms}; }

ExchangeParameters syncPathExchange() { return {syncPathRequest(), true, 100ms, 2s, kSyncPathAnswerLimit, 2s}; }

// The batch exchange does not wait for the connection before writing (the first write waits for it), and its
// whole write is bounded to 3 s, so that a peer that never reads cannot hold the exchange semaphore.
ExchangeParameters batchStatusExchange(const std::string& pathsString) {
    return {batchStatusRequest(pathsString), false, 0s, 3s, kBatchAnswerLimit, 3s};
}

std::string ExchangeOutcome::cause() const {
    if (response) return "";
    std::string what;
    switch (failure) {
    case ExchangeFailure::streamCreation: what = "no connection streams"; break;
    case ExchangeFailure::notOpened: what = "the connection did not open in time"; break;
    case ExchangeFailure::writeFailed: what = "the request could not be written in time"; break;
    case ExchangeFailure::noResponse: what = "no answer in time"; break;
    case ExchangeFailure::notUtf8: what = "the answer is not UTF-8"; break;
    case ExchangeFailure::strangerPeer:
        what = "the port's listener belongs to another user" + (peerUserId ? " (uid " + std::to_string(*peerUserId) + ")" : std::string(" (owner unknown)"));
        break;
    }
    if (errorNumber != 0) what += ": " + std::generic_category().message(errorNumber) + " (errno " + std::to_string(errorNumber) + ")";
    return what;
}

ExchangeOutcome runServiceExchange(Platform& platform, const std::string& host, int port, const ExchangeParameters& parameters) {
    StreamPair streams = platform.streamsToHost(host, port);
    auto fail = [&streams](ExchangeFailure failure) {
        int code = 0;
        if (streams.output && streams.output->errorNumber() != 0) code = streams.output->errorNumber();
        else if (streams.input) code = streams.input->errorNumber();
        return ExchangeOutcome{std::nullopt, failure, code, std::nullopt};
    };
    if (!streams.input || !streams.output) return fail(ExchangeFailure::streamCreation);
    StreamCloser closer{streams};
    streams.input->open();
    streams.output->open();

    if (parameters.waitForOutputOpen) {
        StreamStatus status = streams.output->status();
        if (status != StreamStatus::opening && status != StreamStatus::open) return fail(ExchangeFailure::notOpened);
        if (!streams.output->waitUntilOpen(platform.monotonicNow() + parameters.openWait)) return fail(ExchangeFailure::notOpened);
    }

    MonotonicTime writeDeadline = platform.monotonicNow() + parameters.writeLimit;
    // Nothing, not even PING, goes to a peer of another user: one may listen on the port while the service is down.
    if (streams.output->status() == StreamStatus::opening && !streams.output->waitUntilWritable(writeDeadline)) {
        return fail(ExchangeFailure::writeFailed);
    }
    if (streams.output->status() == StreamStatus::open) {
        std::optional<int> owner = streams.output->peerUserId();
        if (!owner || (*owner != platform.userId() && *owner != 0)) {
            ExchangeOutcome outcome = fail(ExchangeFailure::strangerPeer);
            outcome.peerUserId = owner;
            return outcome;
        }
    }

    const auto* bytes = reinterpret_cast<const std::uint8_t*>(parameters.request.data());
    const std::size_t length = parameters.request.size();
    std::size_t written = 0;
    while (written < length) {
        // A connection still opening counts against the write's own time limit.
        if (streams.output->status() == StreamStatus::opening && !streams.output->waitUntilWritable(writeDeadline)) {
            return fail(ExchangeFailure::writeFailed);
        }
        ssize_t accepted = streams.output->write(bytes + written, length - written);
        if (accepted < 0) return fail(ExchangeFailure::writeFailed);
        if (accepted > 0) {
            written += static_cast<std::size_t>(accepted);
        } else if (!streams.output->waitUntilWritable(writeDeadline)) {
            return fail(ExchangeFailure::writeFailed);
        }
    }

    if (!streams.input->hasBytesAvailable() && !streams.input->waitForBytes(platform.monotonicNow() + parameters.responseWait)) {
        return fail(ExchangeFailure::noResponse);
    }
    std::vector<std::uint8_t> buffer(parameters.receiveCapacity, 0);
    ssize_t bytesRead = streams.input->read(buffer.data(), buffer.size());
    if (bytesRead <= 0) return fail(ExchangeFailure::noResponse);
    std::string_view received(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(bytesRead));
    if (!isValidUtf8(received)) return fail(ExchangeFailure::notUtf8);
    return ExchangeOutcome{trimWhitespaceAndNewlines(received), ExchangeFailure::noResponse, 0, std::nullopt};
}

}  // namespace vantorix
