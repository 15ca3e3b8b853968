#include "../VantorixFinderSync.h"

namespace vantorix {

bool VantorixFinderSync::pingServer() {
    ExchangeOutcome outcome = runServiceExchange(platform, kHost, kPort, pingExchange());
    return outcome.response == "PONG";
}

}  // namespace vantorix
