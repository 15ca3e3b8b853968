// The badge vocabulary: the seven badge words with their labels and images, and the mapping of the local
// service's status codes onto them.
//
// A badge word is at once the identifier registered with the file manager, the value kept in the status cache
// and the identifier set on an item; "" is no badge (setting it removes any badge).
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace vantorix {

struct BadgeDefinition {
    std::string_view identifier;  // the badge word
    std::string_view label;       // shown by the file manager
    std::string_view fileName;    // handed to loadIconFromFile(), which derives the image name from it
    std::string_view imageName;   // the bundle image
};

// In registration order.
inline constexpr std::array<BadgeDefinition, 7> kBadgeCatalogue{{
    {"success", "Synced", "success_test.png", "oi_success"},
    {"sync", "Syncing", "sync_test.png", "oi_sync"},
    {"error", "Error", "error_test.png", "oi_error"},
    {"exclude", "Excluded", "exclude_test.png", "oi_exclude"},
    {"readonly", "Read-only", "readonly_test.png", "oi_readonly"},
    {"shared", "Shared", "shared_test.png", "oi_shared"},
    {"company", "Company", "company_test.png", "oi_company"},
}};

// "0" success, "1" and "2" sync, "3" error, "4" exclude, "5" readonly, "6" company, "7" shared; any other text,
// compared whole and untrimmed, is shown as syncing. Never returns "".
std::string mapStatusToBadge(std::string_view status);

// The bundle image name for a badge file name: every "_test.png" removed, then "oi_" put in front.
std::string imageNameForIconFile(std::string_view fileName);

}  // namespace vantorix
