#include "BadgeCatalogue.h"

#include "../VantorixFinderSync.h"

namespace vantorix {

std::string mapStatusToBadge(std::string_view status) {
    static constexpr std::array<std::string_view, 8> kBadgeOfCode{"success", "sync", "sync", "error", "exclude", "readonly", "company", "shared"};
    if (status.size() == 1 && status[0] >= '0' && status[0] <= '7') return std::string(kBadgeOfCode[static_cast<std::size_t>(status[0] - '0')]);
    return "sync";
}

std::string imageNameForIconFile(std::string_view fileName) {
    static constexpr std::string_view kSuffix = "_test.png";
    std::string stripped;
    for (std::size_t i = 0; i < fileName.size();) {
        if (fileName.substr(i, kSuffix.size()) == kSuffix) {
            i += kSuffix.size();
        } else {
            stripped += fileName[i++];
        }
    }
    return "oi_" + stripped;
}

std::optional<Image> VantorixFinderSync::loadIconFromFile(const std::string& fileName) {
    return platform.imageNamed(imageNameForIconFile(fileName));
}

void VantorixFinderSync::setupBadgeIdentifiers() {
    FinderSyncController& controller = platform.finderSyncController();
    for (const auto& badge : kBadgeCatalogue) {
        // A missing image leaves its badge unregistered; the others are registered all the same.
        if (auto image = loadIconFromFile(std::string(badge.fileName))) {
            controller.setBadgeImage(*image, std::string(badge.label), std::string(badge.identifier));
        }
    }
}

}  // namespace vantorix
