#include "Utf8.h"

#include <cstdint>

namespace vantorix {
namespace {

// Decodes one code point at `i`; returns its length, or 0 when the sequence there is ill-formed.
std::size_t decodeAt(std::string_view bytes, std::size_t i, char32_t& codePoint) {
    auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(bytes[k]); };
    std::uint8_t lead = byte(i);
    std::size_t length;
    char32_t minimum;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > bytes.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return 0;
    return length;
}

bool isWhitespaceOrNewline(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
           c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        char32_t codePoint;
        std::size_t length = decodeAt(bytes, i, codePoint);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string trimWhitespaceAndNewlines(std::string_view text) {
    std::size_t start = 0;
    std::size_t end = 0;  // one past the last code point that is not white space
    bool seenContent = false;
    for (std::size_t i = 0; i < text.size();) {
        char32_t codePoint;
        std::size_t length = decodeAt(text, i, codePoint);
        if (length == 0) length = 1, codePoint = 0xFFFD;
        if (!isWhitespaceOrNewline(codePoint)) {
            if (!seenContent) start = i, seenContent = true;
            end = i + length;
        }
        i += length;
    }
    return seenContent ? std::string(text.substr(start, end - start)) : std::string();
}

std::string replacingInvalidUtf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        char32_t codePoint;
        std::size_t length = decodeAt(bytes, i, codePoint);
        if (length == 0) {
            text += "\xEF\xBF\xBD";
            i += 1;
        } else {
            text.append(bytes.substr(i, length));
            i += length;
        }
    }
    return text;
}

}  // namespace vantorix
