#include "URL.h"

#include "protocol/FileUrl.h"

#include <cctype>

namespace vantorix {
namespace {

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// Checks `part` against the characters allowed in it, and that every "%" starts a valid escape.
bool isValidComponent(std::string_view part, bool allowQueryCharacters) {
    for (std::size_t i = 0; i < part.size(); ++i) {
        auto c = static_cast<unsigned char>(part[i]);
        if (c == '%') {
            if (i + 2 >= part.size() || !isHex(part[i + 1]) || !isHex(part[i + 2])) return false;
            i += 2;
            continue;
        }
        if (isUrlPathCharacter(c)) continue;
        if (allowQueryCharacters && c == '?') continue;
        return false;
    }
    return true;
}

}  // namespace

std::optional<URL> URL::fromString(std::string_view text) {
    if (text.empty()) return std::nullopt;
    URL url;
    url.text_ = std::string(text);
    std::string_view rest = text;

    // scheme ":"
    std::size_t colon = rest.find(':');
    if (colon != std::string_view::npos && colon > 0 && std::isalpha(static_cast<unsigned char>(rest[0])) != 0) {
        bool schemeValid = true;
        for (std::size_t i = 1; i < colon; ++i) {
            auto c = static_cast<unsigned char>(rest[i]);
            if (std::isalnum(c) == 0 && c != '+' && c != '-' && c != '.') schemeValid = false;
        }
        if (schemeValid) {
            for (std::size_t i = 0; i < colon; ++i) url.scheme_ += static_cast<char>(std::tolower(static_cast<unsigned char>(rest[i])));
            rest.remove_prefix(colon + 1);
        }
    }

    std::string_view fragment;
    bool hasFragment = false;
    if (std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
        fragment = rest.substr(hash + 1);
        rest = rest.substr(0, hash);
        hasFragment = true;
    }
    std::string_view query;
    bool hasQuery = false;
    if (std::size_t question = rest.find('?'); question != std::string_view::npos) {
        query = rest.substr(question + 1);
        rest = rest.substr(0, question);
        hasQuery = true;
    }
    std::string_view authority;
    if (rest.substr(0, 2) == "//") {
        rest.remove_prefix(2);
        std::size_t slash = rest.find('/');
        authority = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);
    }
    if (!isValidComponent(authority, false) || !isValidComponent(rest, false)) return std::nullopt;
    if (hasQuery && !isValidComponent(query, true)) return std::nullopt;
    if (hasFragment && !isValidComponent(fragment, true)) return std::nullopt;
    url.rawPath_ = std::string(rest);
    return url;
}

URL URL::fileURL(std::string_view path) {
    URL url;
    url.scheme_ = "file";
    url.rawPath_ = encodeUrlPath(path);
    url.text_ = "file://" + url.rawPath_;
    return url;
}

// The raw path was checked by fromString() or encoded by fileURL(): every "%" starts an escape.
std::string URL::path() const { return decodeUrlPath(rawPath_, false).value_or(rawPath_); }

}  // namespace vantorix
