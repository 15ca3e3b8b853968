// How the programs end: at once, without running static destructors, since the extension's background work may
// still be waiting on the network and the platform is never destroyed. A coverage build first writes its
// counters, which a normal exit would have written.
#pragma once

#include <cstdio>
#include <cstdlib>

#ifdef VANTORIX_COVERAGE
extern "C" void __gcov_dump(void);
#endif

namespace vantorix::session {

[[noreturn]] inline void endProgram(int status) {
    // Only the output streams: a thread may be blocked reading standard input, holding its lock.
    std::fflush(stdout);
    std::fflush(stderr);
#ifdef VANTORIX_COVERAGE
    __gcov_dump();
#endif
    std::_Exit(status);
}

}  // namespace vantorix::session
