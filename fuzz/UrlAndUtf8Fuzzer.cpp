// The text checks and the URLs made from paths, on any bytes: the UTF-8 test against the table of well-formed
// sequences, replacement and trimming, which paths a line can carry, and file URLs that name their path exactly.
#include "FuzzInput.h"
#include "platform/URL.h"
#include "protocol/Utf8.h"
#include "protocol/Wire.h"

using namespace vantorix;

namespace {

// Well-formed UTF-8, byte range by byte range as the Unicode standard tabulates it.
bool isWellFormed(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        auto lead = static_cast<std::uint8_t>(text[i]);
        std::size_t length = lead <= 0x7F ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        std::uint8_t low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
        std::uint8_t high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
        for (std::size_t k = 1; k < length; ++k, low = 0x80, high = 0xBF) {
            auto next = static_cast<std::uint8_t>(text[i + k]);
            if (next < low || next > high) return false;
        }
        i += length;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    bool valid = isValidUtf8(bytes);
    FUZZ_REQUIRE(valid == isWellFormed(bytes));
    std::string replaced = replacingInvalidUtf8(bytes);
    FUZZ_REQUIRE(isValidUtf8(replaced) && (replaced == bytes) == valid);

    // Trimming drops white space only, all of it at both ends, and nothing inside.
    std::string trimmed = trimWhitespaceAndNewlines(bytes);
    FUZZ_REQUIRE(trimWhitespaceAndNewlines(trimmed) == trimmed);
    if (valid) {
        std::size_t at = bytes.find(trimmed);
        FUZZ_REQUIRE(isValidUtf8(trimmed) && at != std::string_view::npos);
        FUZZ_REQUIRE(trimWhitespaceAndNewlines(bytes.substr(0, at)).empty() && trimWhitespaceAndNewlines(bytes.substr(at + trimmed.size())).empty());
        std::string padded = "\t \u3000\u00A0" + std::string(bytes) + "\r\n\u2029\u0085";
        FUZZ_REQUIRE(trimWhitespaceAndNewlines(padded) == trimmed);
    }

    bool plain = bytes.find_first_of(std::string_view("|\n\r\0", 4)) == std::string_view::npos;
    FUZZ_REQUIRE(canCarryPath(bytes) == (!bytes.empty() && plain && valid));

    // A file URL names exactly its path (less trailing slashes, the root staying "/"), and its text parses back
    // into the same URL; an absolute path comes back from the parsed URL too.
    URL url = URL::fileURL(bytes);
    std::string expected(bytes);
    while (expected.size() > 1 && expected.back() == '/') expected.pop_back();
    FUZZ_REQUIRE(url.path() == expected && url.isFileURL());
    std::optional<URL> parsed = URL::fromString(url.absoluteString());
    FUZZ_REQUIRE(parsed && *parsed == url && parsed->isFileURL());
    if (!bytes.empty() && bytes[0] == '/') FUZZ_REQUIRE(parsed->path() == expected);

    // Any text that parses is printable ASCII without spaces, and keeps its text.
    if (std::optional<URL> any = URL::fromString(bytes)) {
        FUZZ_REQUIRE(any->absoluteString() == bytes);
        for (char c : bytes) FUZZ_REQUIRE(c > ' ' && c < 0x7F);
    }
    return 0;
}
