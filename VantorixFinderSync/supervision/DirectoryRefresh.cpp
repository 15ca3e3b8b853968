// The directory repaint: the observed directory set is emptied and, repaintEmptySet later, the sync folder is put
// back, so that the file manager asks again for every visible badge under the conditions of the moment.
#include "../VantorixFinderSync.h"

namespace vantorix {

void VantorixFinderSync::refreshCurrentDirectoryBadges() {
    platform.globalQueue(QualityOfService::utility).async([self = shared_from_this()] {
        std::optional<std::string> syncPath = self->syncPathLock->syncValue([&] { return self->currentSyncPath; });
        if (!syncPath) return;
        URL folder = URL::fileURL(*syncPath);
        self->platform.mainQueue().async([self, folder] {
            self->platform.finderSyncController().setDirectoryURLs({});
            self->platform.mainQueue().asyncAfter(repaintEmptySet, [self, folder] { self->platform.finderSyncController().setDirectoryURLs({folder}); });
        });
    });
}

}  // namespace vantorix
