// The floors beside each end-to-end figure, measured in this process against the same running service with the
// same paths: the bare blocking exchange of the very bytes the client sends, the client's own exchange
// (runServiceExchange on the real platform) with the same bytes, and a client that asks one path per exchange.
// The flush timer's floor is the batch queue's own configured delay.
#pragma once

#include "platform/Platform.h"

#include <string>
#include <vector>

namespace vantorix::bench {

struct PassFigures {
    long exchanges = 0;             // in one pass over the folder
    double secondsPerPass = 0;      // wall time of one sequential pass
    double secondsPerExchange = 0;  // wall time
    double cpuPerExchange = 0;      // this process's CPU, seconds
};

struct FloorFigures {
    PassFigures bare;          // batches of 50, bare blocking exchanges
    PassFigures client;        // batches of 50, the client's exchange
    PassFigures batchesOfOne;  // one path per exchange, the client's exchange
    double flushTimerSeconds = 0;
};

// `paths` are the folder's entries in the order the client asks for them. Passes are repeated until at least
// `minimum` seconds have been measured. Throws std::runtime_error on a wrong or missing answer.
FloorFigures measureFloors(Platform& platform, const std::vector<std::string>& paths, double minimum = 0.3);

}  // namespace vantorix::bench
