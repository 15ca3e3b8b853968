// Directory polling: every observed directory is re-listed every pollingInterval on the main thread, and its entries,
// less a few system files, are queued for a status request.
#include "../VantorixFinderSync.h"
#include "PassPaths.h"
#include "protocol/Wire.h"

#include <array>
#include <string_view>

namespace vantorix {
namespace {

constexpr std::array<std::string_view, 6> kIgnoredNames{".DS_Store", ".Spotlight-V100", ".TemporaryItems", "Thumbs.db", "desktop.ini", ".localized"};

bool isIgnored(std::string_view name) {
    for (auto ignored : kIgnoredNames) {
        if (name == ignored) return true;
    }
    return false;
}

}  // namespace

void VantorixFinderSync::startPollingDirectory(const std::string& path) {
    platform.mainQueue().async([weak = weakSelf(), path] {
        auto self = weak.lock();
        if (!self) return;
        bool started = self->observedDirLock->syncValue([&] {
            auto& timer = self->observedDirectories[path];
            bool restarted = timer != nullptr;
            if (timer) timer->invalidate();
            timer = self->platform.scheduleTimer(self->pollingInterval, true, [weak, path](Timer&) {
                if (auto self = weak.lock()) self->pollVisibleFiles(path);
            });
            return !restarted;
        });
        if (started) self->setCacheFolderShown(path, true);
    });
}

void VantorixFinderSync::stopPollingDirectory(const std::string& path) {
    platform.mainQueue().async([weak = weakSelf(), path] {
        auto self = weak.lock();
        if (!self) return;
        bool stopped = self->observedDirLock->syncValue([&] {
            auto found = self->observedDirectories.find(path);
            if (found == self->observedDirectories.end()) return false;
            found->second->invalidate();
            self->observedDirectories.erase(found);
            return true;
        });
        if (!stopped) return;
        self->polledPaths.erase(path);
        self->setCacheFolderShown(path, false);
    });
}

void VantorixFinderSync::pollVisibleFiles(const std::string& path) {
    if (waitingModeLock->syncValue([&] { return isInWaitingMode; })) return;
    DirectoryNames names = platform.contentsOfDirectory(path);
    if (!names) return;  // gone or unreadable: the next pass tries again
    // A path the line cannot carry is never queued. The folder and the "/" are checked once: the path carries
    // when both the folder and the name do.
    if (!canCarryPath(path)) return;
    // Queued a few hundred at a time: one lock block each, without a copy of the whole folder's paths at once.
    // A path the last pass made is shared again, not made anew; one the last pass did not have is shared with
    // the status cache's entry when there is one (a first pass after the file manager's own requests).
    PassPaths& known = polledPaths[path];
    std::string text = path + "/";
    const std::size_t folderLength = text.size();
    std::vector<SharedPath> entries;
    std::vector<std::size_t> unknown;  // the places in `entries` of paths the last pass did not have
    for (std::size_t i = 0; i < names->size(); ++i) {
        const std::string& name = (*names)[i];
        text.resize(folderLength);
        text += name;
        // The last pass kept only paths that are neither ignored nor uncarriable.
        if (const SharedPath* last = known.find(text)) {
            entries.push_back(*last);
        } else if (!isIgnored(name) && canCarryPath(name)) {
            unknown.push_back(entries.size());
            entries.emplace_back(text);
        }
        if (entries.size() == pollingChunk || (i + 1 == names->size() && !entries.empty())) {
            if (!unknown.empty()) shareCachedPaths(entries, unknown);
            unknown.clear();
            known.keep(entries);
            addToBatchQueue(std::move(entries));
            entries = {};
        }
    }
    known.endPass();
}

}  // namespace vantorix
