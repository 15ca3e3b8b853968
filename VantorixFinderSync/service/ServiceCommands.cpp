// The extension's exchanges with the local service: every one goes through exchangeWithService(), which also
// reports a stranger on the service's port, once per stranger.
#include "../VantorixFinderSync.h"
#include "protocol/Wire.h"

namespace vantorix {

ExchangeOutcome VantorixFinderSync::exchangeWithService(const ExchangeParameters& parameters) {
    ExchangeOutcome outcome = runServiceExchange(platform, kServiceHost, kServicePort, parameters);
    if (outcome.failure == ExchangeFailure::strangerPeer && !outcome.response) {
        int uid = outcome.peerUserId.value_or(-2);
        if (reportedStrangerUid.exchange(uid) != uid) {
            logger(LogLevel::warning, "Service", "another user listens on the local service's port; nothing was sent to it",
                   {{"peer_uid", outcome.peerUserId ? std::to_string(*outcome.peerUserId) : "unknown"}, {"port", std::to_string(kServicePort)}});
        }
    }
    return outcome;
}

bool VantorixFinderSync::pingServer() { return exchangeWithService(pingExchange()).response == kPongWord; }

// The sync-folder query: a PING first, then the folder; nothing on any failure or a refusal.
std::optional<std::string> VantorixFinderSync::getCurrentSyncPath() {
    if (!pingServer()) return std::nullopt;
    ExchangeOutcome outcome = exchangeWithService(syncPathExchange());
    if (!outcome.response || isRefusal(*outcome.response)) return std::nullopt;
    return outcome.response;
}

}  // namespace vantorix
