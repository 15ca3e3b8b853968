// The extension's side of the badge vocabulary (the catalogue itself is protocol/Badges.h): the mapping of the
// local service's status codes onto the badge words, and the image name of a badge file.
#pragma once

#include "protocol/Badges.h"

#include <string>
#include <string_view>

namespace vantorix {

// "0" success, "1" and "2" sync, "3" error, "4" exclude, "5" readonly, "6" company, "7" shared; any other text,
// compared whole and untrimmed, is shown as syncing. Never returns "".
std::string mapStatusToBadge(std::string_view status);

// The bundle image name for a badge file name: every "_test.png" removed, then "oi_" put in front.
std::string imageNameForIconFile(std::string_view fileName);

}  // namespace vantorix
