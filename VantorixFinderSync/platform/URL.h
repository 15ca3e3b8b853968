// A URL value.
//
// Two ways to make one: fromString() parses URL text (scheme, optional "//" authority, path, "?" query and "#"
// fragment) and rejects text that is not a valid URL (spaces, control characters, bytes outside ASCII, a "%"
// not followed by two hex digits); fileURL() builds a file URL from a file-system path, percent-encoding every
// byte that a URL path cannot hold as it is (the one file-URL rule, protocol/FileUrl.h), so that the URL names
// exactly that path. path() is the percent-decoded path without a trailing slash (the root stays "/"). URLs compare
// by their absolute string.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vantorix {

class URL {
public:
    static std::optional<URL> fromString(std::string_view text);
    static URL fileURL(std::string_view path);

    const std::string& absoluteString() const { return text_; }
    const std::string& scheme() const { return scheme_; }
    bool isFileURL() const { return scheme_ == "file"; }
    // The percent-decoded path; decoded bytes are kept as they are, valid UTF-8 or not.
    std::string path() const;

    bool operator==(const URL& other) const { return text_ == other.text_; }
    bool operator<(const URL& other) const { return text_ < other.text_; }

private:
    URL() = default;
    std::string text_;
    std::string scheme_;
    std::string rawPath_;  // still percent-encoded
};

}  // namespace vantorix

template <>
struct std::hash<vantorix::URL> {
    std::size_t operator()(const vantorix::URL& url) const noexcept { return std::hash<std::string>{}(url.absoluteString()); }
};
