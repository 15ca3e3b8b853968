// The status cache: the badge word last shown per path, with a time to live of 5 s for "sync" and 30 s for the
// rest, at most 2000 entries, swept once a minute.
#include "../VantorixFinderSync.h"

namespace vantorix {

std::optional<std::string> VantorixFinderSync::getCachedStatus(const std::string& path) {
    return statusCacheLock->syncValue([&]() -> std::optional<std::string> {
        auto found = statusCache.find(path);
        if (found == statusCache.end()) return std::nullopt;
        if (isFresh(found->second, platform.now(), cacheConfig.ttlSeconds, cacheConfig.aggressiveTtl)) return found->second.badge;
        statusCache.erase(found);  // a stale entry is dropped by the read that finds it
        return std::nullopt;
    });
}

void VantorixFinderSync::setCachedStatus(const std::string& path, const std::string& badge) {
    statusCacheLock->sync([&] {
        // A full map first loses its oldest entry, even when the path being stored is already in it.
        if (static_cast<std::int64_t>(statusCache.size()) >= cacheConfig.maxEntries) {
            auto oldest = statusCache.begin();
            for (auto it = statusCache.begin(); it != statusCache.end(); ++it) {
                if (it->second.timestamp < oldest->second.timestamp) oldest = it;
            }
            if (oldest != statusCache.end()) statusCache.erase(oldest);
        }
        statusCache.insert_or_assign(path, CachedStatus{badge, platform.now(), true, badge == "sync"});
    });
}

void VantorixFinderSync::invalidateCache(const std::optional<std::string>& path, const std::string& reason) {
    if (logger.logs(LogLevel::debug)) {
        logger(LogLevel::debug, "SyncStatus", path ? "status cache entry dropped" : "status cache emptied", {{"reason", reason}, {"path", path.value_or("")}});
    }
    statusCacheLock->sync([&] {
        if (path) {
            statusCache.erase(*path);
        } else {
            statusCache.clear();
        }
    });
}

// The sweep applies the normal time to live to every entry; a "sync" entry past its 5 s is left for the next
// read of its path to drop.
void VantorixFinderSync::performCacheCleanup() {
    statusCacheLock->sync([&] {
        WallTime now = platform.now();
        std::erase_if(statusCache, [&](const auto& entry) {
            const CachedStatus& status = entry.second;
            return !status.isValid || std::chrono::duration_cast<Duration>(now - status.timestamp) > cacheConfig.ttlSeconds;
        });
    });
}

void VantorixFinderSync::startCacheCleanup() {
    platform.globalQueue(QualityOfService::utility).async([self = shared_from_this()] {
        self->platform.mainQueue().async([self] {
            if (self->cacheCleanupTimer) self->cacheCleanupTimer->invalidate();
            // The timer holds the object weakly: the object holds the timer, and a strong hold both ways would
            // keep the object, and the timer, alive after its last owner let go, so the teardown never ran.
            self->cacheCleanupTimer = self->platform.scheduleTimer(self->cacheConfig.cleanupInterval, true, [weak = self->weakSelf()](Timer&) {
                auto self = weak.lock();
                if (!self) return;
                self->platform.globalQueue(QualityOfService::utility).async([self] { self->performCacheCleanup(); });
            });
        });
    });
}

}  // namespace vantorix
