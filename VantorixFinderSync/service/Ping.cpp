#include "../VantorixFinderSync.h"
#include "protocol/Wire.h"

namespace vantorix {

bool VantorixFinderSync::pingServer() {
    ExchangeOutcome outcome = runServiceExchange(platform, kServiceHost, kServicePort, pingExchange());
    return outcome.response == kPongWord;
}

}  // namespace vantorix
