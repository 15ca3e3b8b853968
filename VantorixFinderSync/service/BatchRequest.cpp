// The batch status request: the statuses of many paths in one exchange, one exchange at a time. Unlike PING and
// GET_SYNC_PATH it reports the connection's health: every failure enters waiting mode with its reason tag and
// hands the paths to the retry queue, and every success asks waiting mode to end.
#include "../VantorixFinderSync.h"
#include "protocol/Wire.h"

namespace vantorix {
namespace {

const char* reasonTagOf(ExchangeFailure failure) {
    switch (failure) {
    case ExchangeFailure::streamCreation: return "stream_creation_failed";
    case ExchangeFailure::notOpened:  // the batch exchange does not wait for the connection; a failed one fails the write
    case ExchangeFailure::strangerPeer:  // a connection to a stranger counts as one that failed
    case ExchangeFailure::writeFailed: return "write_failed";
    case ExchangeFailure::noResponse:
    case ExchangeFailure::notUtf8: return "read_timeout";
    }
    return "read_timeout";
}

}  // namespace

std::optional<std::string> VantorixFinderSync::sendBatchStatusRequestSequential(const std::string& pathsString) {
    auto fail = [&](const char* reason, const std::string& cause = "") -> std::optional<std::string> {
        if (logger.logs(LogLevel::debug)) {
            logger(LogLevel::debug, "Service", "batch status exchange failed",
                   {{"reason", reason}, {"cause", cause}, {"paths", std::to_string(countPieces(pathsString))}});
        }
        enterWaitingMode(reason, cause);
        std::vector<std::string> paths = splitOnSeparator(pathsString);
        addToRetryQueue({paths.begin(), paths.end()});
        return std::nullopt;
    };
    if (!semaphore->wait(platform.monotonicNow() + semaphoreWait)) return fail("semaphore_timeout", "another exchange held the connection turn for the whole wait");

    // Every way out from here signals the semaphore once, after the waiting-mode and retry calls.
    struct Signal {
        Semaphore& semaphore;
        ~Signal() { semaphore.signal(); }
    } signal{*semaphore};

    ExchangeOutcome outcome = exchangeWithService(batchStatusExchange(pathsString));
    if (!outcome.response) return fail(reasonTagOf(outcome.failure), outcome.cause());
    if (std::size_t answered = countPieces(*outcome.response), asked = countPieces(pathsString); answered != asked) {
        return fail("batch_response_mismatch", std::to_string(answered) + " codes for " + std::to_string(asked) + " paths");
    }
    exitWaitingMode("batch_request_successful");
    return outcome.response;
}

}  // namespace vantorix
