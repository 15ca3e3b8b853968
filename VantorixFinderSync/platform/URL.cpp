#include "URL.h"

#include <cctype>

namespace vantorix {
namespace {

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

bool isUnreserved(unsigned char c) {
    return std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~';
}

bool isSubDelimiter(unsigned char c) {
    switch (c) {
    case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',': case ';': case '=':
        return true;
    default:
        return false;
    }
}

// Characters a path segment may hold without encoding (RFC 3986 pchar, less "%", plus "/").
bool isPathCharacter(unsigned char c) { return isUnreserved(c) || isSubDelimiter(c) || c == ':' || c == '@' || c == '/'; }

// Checks `part` against the characters allowed in it, and that every "%" starts a valid escape.
bool isValidComponent(std::string_view part, bool allowQueryCharacters) {
    for (std::size_t i = 0; i < part.size(); ++i) {
        auto c = static_cast<unsigned char>(part[i]);
        if (c == '%') {
            if (i + 2 >= part.size() || !isHex(part[i + 1]) || !isHex(part[i + 2])) return false;
            i += 2;
            continue;
        }
        if (isPathCharacter(c)) continue;
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
    static constexpr char kHex[] = "0123456789ABCDEF";
    URL url;
    url.scheme_ = "file";
    url.rawPath_.reserve(path.size());
    for (char ch : path) {
        auto c = static_cast<unsigned char>(ch);
        if (isPathCharacter(c)) {
            url.rawPath_ += ch;
        } else {
            url.rawPath_ += '%';
            url.rawPath_ += kHex[c >> 4];
            url.rawPath_ += kHex[c & 0xF];
        }
    }
    url.text_ = "file://" + url.rawPath_;
    return url;
}

std::string URL::path() const {
    std::string decoded;
    decoded.reserve(rawPath_.size());
    for (std::size_t i = 0; i < rawPath_.size(); ++i) {
        if (rawPath_[i] == '%' && i + 2 < rawPath_.size() && isHex(rawPath_[i + 1]) && isHex(rawPath_[i + 2])) {
            decoded += static_cast<char>(hexValue(rawPath_[i + 1]) * 16 + hexValue(rawPath_[i + 2]));
            i += 2;
        } else {
            decoded += rawPath_[i];
        }
    }
    while (decoded.size() > 1 && decoded.back() == '/') decoded.pop_back();
    return decoded;
}

}  // namespace vantorix
