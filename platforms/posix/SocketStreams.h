// The real platform's stream pair: one non-blocking TCP socket shared by an input and an output stream, with
// readiness waits on poll(). The socket is closed when both streams are closed or gone.
#pragma once

#include "platform/Streams.h"

namespace vantorix::posix {

StreamPair makeSocketStreams(const std::string& host, int port);

}  // namespace vantorix::posix
