// The badge vocabulary, read by every piece that names, draws or shows a badge: the extension (registration), the
// simulated platform (the bundle's images), the stand-in's terminal view (glyph and colour), the image generator
// (colour), the emblems' build (one icon per word) and the host modules ("emblem-vantorix-<word>").
//
// A badge word is at once the identifier registered with the file manager, the value kept in the status cache,
// the identifier set on an item and the word the host protocol carries; "" is no badge. Adding a badge is a row
// here and its sign in the image generator.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vantorix {

struct BadgeDefinition {
    std::string_view identifier;  // the badge word
    std::string_view label;       // shown by the file manager
    std::string_view fileName;    // handed to loadIconFromFile(), which derives the image name from it
    std::string_view imageName;   // the bundle image
    std::uint32_t colour;         // 0xRRGGBB: the disc of its image and emblem
    std::uint8_t terminalColour;  // the nearest of a terminal's eight colours (1 red, 2 green, ... 7 white)
    std::string_view glyph;       // the terminal view's sign
    std::string_view asciiGlyph;  // the same, on a terminal without UTF-8
};

// In registration order.
inline constexpr std::array<BadgeDefinition, 7> kBadgeCatalogue{{
    {"success", "Synced", "success_test.png", "oi_success", 0x2EA043, 2, "\u2713", "+"},
    {"sync", "Syncing", "sync_test.png", "oi_sync", 0x2576E6, 4, "\u21bb", "~"},
    {"error", "Error", "error_test.png", "oi_error", 0xD63031, 1, "\u2717", "!"},
    {"exclude", "Excluded", "exclude_test.png", "oi_exclude", 0x787E88, 7, "\u2298", "-"},
    {"readonly", "Read-only", "readonly_test.png", "oi_readonly", 0xDE910A, 3, "\u229f", "r"},
    {"shared", "Shared", "shared_test.png", "oi_shared", 0x8848B8, 5, "\u21c4", "s"},
    {"company", "Company", "company_test.png", "oi_company", 0x008577, 6, "\u2302", "c"},
}};

}  // namespace vantorix
