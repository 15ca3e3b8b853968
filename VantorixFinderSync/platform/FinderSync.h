// The file manager's side of the seam: the controller through which an extension talks to the file manager,
// and the base class through which the file manager calls the extension.
#pragma once

#include "URL.h"

#include <memory>
#include <optional>
#include <set>
#include <string>

namespace vantorix {

// An image found among the bundle's resources.
struct Image {
    std::string name;      // the resource name, such as "oi_success"
    std::string filePath;  // where the platform found it; empty for images that exist only in memory
    bool operator==(const Image&) const = default;
};

// The file manager's controller. Badge registration may be called on any thread; every other call is made on
// the main thread.
class FinderSyncController {
public:
    virtual ~FinderSyncController() = default;
    // Registers an image and a label under a badge identifier.
    virtual void setBadgeImage(const Image& image, const std::string& label, const std::string& identifier) = 0;
    // Shows the badge registered under `identifier` on the item; "" removes any badge.
    virtual void setBadgeIdentifier(const std::string& identifier, const URL& url) = 0;
    // Replaces the set of directories the file manager observes for the extension.
    virtual void setDirectoryURLs(const std::set<URL>& urls) = 0;
};

// The file manager's calls into an extension, on a thread of the file manager's choosing.
class FinderSyncExtension {
public:
    virtual ~FinderSyncExtension() = default;
    virtual void requestBadgeIdentifier(const URL& url) = 0;
    virtual void beginObservingDirectory(const URL& url) = 0;
    virtual void endObservingDirectory(const URL& url) = 0;
};

}  // namespace vantorix
