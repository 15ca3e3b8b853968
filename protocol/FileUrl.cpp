#include "FileUrl.h"

#include "Paths.h"

#include <cctype>

namespace vantorix {
namespace {

constexpr std::string_view kFileScheme = "file://";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool isUrlPathCharacter(unsigned char c) {
    if (std::isalnum(c) != 0) return c < 0x80;
    switch (c) {
    case '-': case '.': case '_': case '~':                                                                   // unreserved
    case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',': case ';': case '=':  // sub-delims
    case ':': case '@': case '/':
        return true;
    default:
        return false;
    }
}

std::string encodeUrlPath(std::string_view path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(path.size());
    for (char ch : path) {
        auto c = static_cast<unsigned char>(ch);
        if (isUrlPathCharacter(c)) {
            encoded += ch;
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 0xF];
        }
    }
    return encoded;
}

std::string fileUrlOf(std::string_view path) { return std::string(kFileScheme) + encodeUrlPath(path); }

std::optional<std::string> decodeUrlPath(std::string_view encoded, bool refuseSeparators) {
    std::string path;
    path.reserve(encoded.size());
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] != '%') {
            path.push_back(encoded[i]);
            continue;
        }
        int high = i + 2 < encoded.size() ? hexValue(encoded[i + 1]) : -1;
        int low = high >= 0 ? hexValue(encoded[i + 2]) : -1;
        if (low < 0) return std::nullopt;
        char byte = static_cast<char>(high * 16 + low);
        if (refuseSeparators && (byte == '/' || byte == '\0')) return std::nullopt;
        path.push_back(byte);
        i += 2;
    }
    path.resize(withoutTrailingSlash(path).size());
    return path;
}

std::optional<std::string> pathOfFileUrl(std::string_view url) {
    if (url.substr(0, kFileScheme.size()) != kFileScheme) return std::nullopt;
    url.remove_prefix(kFileScheme.size());
    std::size_t slash = url.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    std::string_view authority = url.substr(0, slash);
    if (!authority.empty() && authority != "localhost") return std::nullopt;
    std::string_view encoded = url.substr(slash);
    if (encoded.find_first_of("?#") != std::string_view::npos) return std::nullopt;
    return decodeUrlPath(encoded, true);
}

}  // namespace vantorix
