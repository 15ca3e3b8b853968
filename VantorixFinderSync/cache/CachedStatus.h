// One entry of the status cache and the rule that says whether it may still be used.
#pragma once

#include "../core/BadgeWord.h"
#include "../platform/Time.h"

#include <string>

namespace vantorix {

struct CachedStatus {
    BadgeWord badge;        // the badge word stored for the path
    WallTime timestamp;     // when it was stored
    bool isValid = true;    // the design's own flag: nothing sets it false, so it never decides; the freshness test keeps it
    bool isAggressiveTtl;   // the short time to live applies ("sync" entries)
    bool operator==(const CachedStatus&) const = default;
};

// Fresh: valid, and no older than its time to live (`aggressiveTtl` for short-lived entries, `ttl` for the
// rest). An entry exactly as old as its time to live is still fresh; one stamped in the future is fresh.
inline bool isFresh(const CachedStatus& entry, WallTime now, Duration ttl, Duration aggressiveTtl) {
    Duration age = std::chrono::duration_cast<Duration>(now - entry.timestamp);
    return entry.isValid && age <= (entry.isAggressiveTtl ? aggressiveTtl : ttl);
}

}  // namespace vantorix
