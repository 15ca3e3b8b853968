// The status cache: the badge word last shown per path, with a time to live of cacheConfig.aggressiveTtl for
// "sync" and cacheConfig.ttl for the rest, swept every cacheConfig.cleanupInterval. At most
// cacheConfig.maxEntries entries outside the folders being polled, the oldest evicted first;
// the entries of a polled folder's items stay however many there are, so that an item whose status has not
// changed is never set again while its folder is shown, whatever the folder's size.
#include "../VantorixFinderSync.h"
#include "protocol/Paths.h"

namespace vantorix {

void VantorixFinderSync::eraseCacheEntry(PathTable<CachedStatus>::iterator entry) {
    cacheEvictionOrder.erase({entry->second.timestamp, entry->first});
    statusCache.erase(entry);
}

template <typename Drop>
void VantorixFinderSync::eraseCacheEntries(Drop drop) {
    boost::unordered::erase_if(statusCache, [&](const auto& entry) {
        if (!drop(entry.first, entry.second)) return false;
        cacheEvictionOrder.erase({entry.second.timestamp, entry.first});
        return true;
    });
}

std::optional<std::string> VantorixFinderSync::lookUpCachedStatus(const SharedPath& path, WallTime now) {
    auto found = statusCache.find(path);
    if (found == statusCache.end()) return std::nullopt;
    if (isFresh(found->second, now, cacheConfig.ttl, cacheConfig.aggressiveTtl)) return found->second.badge.str();
    eraseCacheEntry(found);  // a stale entry is dropped by the read that finds it
    return std::nullopt;
}

void VantorixFinderSync::storeCachedStatus(const SharedPath& path, const std::string& badge, WallTime now) {
    bool evictable = cacheShownFolders.count(parentFolder(path.view())) == 0;
    // A full cache first loses its oldest evictable entry, even when the path being stored is already in it.
    if (evictable && static_cast<std::int64_t>(cacheEvictionOrder.size()) >= cacheConfig.maxEntries) {
        eraseCacheEntry(statusCache.find(cacheEvictionOrder.begin()->second));
    }
    auto [entry, added] = statusCache.try_emplace(path);
    if (!added && evictable) cacheEvictionOrder.erase({entry->second.timestamp, path});
    entry->second = CachedStatus{BadgeWord(badge), now, true, badge == "sync"};
    if (evictable) cacheEvictionOrder.insert({now, path});
}

// The lookup and the store of one result, as lookUpCachedStatus then storeCachedStatus would make them. A polled
// folder's item whose entry is fresh (every item at rest, once a pass) is updated in place with one lookup: its
// entry is not in the eviction order, and no limit applies to it.
bool VantorixFinderSync::recordCachedStatus(const SharedPath& path, const std::string& badge, WallTime now) {
    auto found = statusCache.find(path);
    if (found != statusCache.end() && !badge.empty() && isFresh(found->second, now, cacheConfig.ttl, cacheConfig.aggressiveTtl) &&
        cacheShownFolders.count(parentFolder(path.view())) != 0) {
        // The word is looked up in the process's set of words only when it changed, not for every item at rest.
        bool changed = found->second.badge != badge;
        if (changed) found->second.badge = BadgeWord(badge);
        found->second.timestamp = now;
        found->second.isValid = true;
        found->second.isAggressiveTtl = badge == "sync";
        return changed;
    }
    bool changed = lookUpCachedStatus(path, now) != badge;
    if (!badge.empty()) storeCachedStatus(path, badge, now);
    return changed;
}

std::optional<std::string> VantorixFinderSync::getCachedStatus(const std::string& path) {
    return statusCacheLock->syncValue([&] { return lookUpCachedStatus(path, platform.now()); });
}

void VantorixFinderSync::setCachedStatus(const SharedPath& path, const std::string& badge) {
    statusCacheLock->sync([&] { storeCachedStatus(path, badge, platform.now()); });
}

void VantorixFinderSync::invalidateCache(const std::optional<std::string>& path, const std::string& reason) {
    if (logger.logs(LogLevel::debug)) {
        logger(LogLevel::debug, "SyncStatus", path ? "status cache entry dropped" : "status cache emptied", {{"reason", reason}, {"path", path.value_or("")}});
    }
    statusCacheLock->sync([&] {
        if (!path) {
            statusCache.clear();
            cacheEvictionOrder.clear();
        } else if (auto found = statusCache.find(*path); found != statusCache.end()) {
            eraseCacheEntry(found);
        }
    });
}

// A plain prefix test without a slash: siblings whose names merely start with the prefix lose their entries too.
void VantorixFinderSync::invalidateCacheWithPrefix(const std::string& prefix) {
    statusCacheLock->sync([&] { eraseCacheEntries([&](const SharedPath& path, const CachedStatus&) { return path.view().substr(0, prefix.size()) == prefix; }); });
}

// The sweep applies the normal time to live to every entry; a "sync" entry past its shorter time to live is left for the next
// read of its path to drop.
void VantorixFinderSync::performCacheCleanup() {
    statusCacheLock->sync([&] {
        WallTime now = platform.now();
        eraseCacheEntries([&](const SharedPath&, const CachedStatus& status) {
            return !status.isValid || std::chrono::duration_cast<Duration>(now - status.timestamp) > cacheConfig.ttl;
        });
    });
}

// A folder that starts being polled takes its items' entries out of the eviction order; one that stops puts them
// back, and the limit applies to them again at once.
void VantorixFinderSync::setCacheFolderShown(const std::string& folder, bool shown) {
    statusCacheLock->sync([&] {
        if (shown ? !cacheShownFolders.insert(folder).second : cacheShownFolders.erase(folder) == 0) return;
        for (const auto& [path, status] : statusCache) {
            if (parentFolder(path.view()) != folder) continue;
            if (shown) cacheEvictionOrder.erase({status.timestamp, path});
            else cacheEvictionOrder.insert({status.timestamp, path});
        }
        while (static_cast<std::int64_t>(cacheEvictionOrder.size()) > cacheConfig.maxEntries) {
            eraseCacheEntry(statusCache.find(cacheEvictionOrder.begin()->second));
        }
    });
}

// One block on statusCacheLock: each path at the given places that the cache holds is replaced by the cache's
// own, so that the two share one text.
void VantorixFinderSync::shareCachedPaths(std::vector<SharedPath>& paths, const std::vector<std::size_t>& places) {
    statusCacheLock->sync([&] {
        for (std::size_t place : places) {
            if (auto cached = statusCache.find(paths[place]); cached != statusCache.end()) paths[place] = cached->first;
        }
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
