// The floor under any client of the local service: a blocking loopback connect, one write of the whole request,
// reads until the peer closes, close. No deadlines, no readiness waits, no UTF-8 check.
#pragma once

#include <string>

namespace vantorix::bench {

// The answer's bytes, or "" when the connection failed.
std::string bareExchange(int port, const std::string& request);

}  // namespace vantorix::bench
