// File URLs and the paths they name: the one rule of the whole system. A path becomes a file URL by
// percent-encoding every byte a URL path cannot hold as it is (what RFC 3986 allows in a path segment, less "%",
// plus "/"), so that the URL names exactly that path; a file URL's path is its percent-decoded path without a
// trailing slash (the root stays "/").
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantorix {

// Whether a URL path may hold the byte as it is.
bool isUrlPathCharacter(unsigned char c);
// The path with "%XX" (upper-case hex) for every byte a URL path cannot hold as it is.
std::string encodeUrlPath(std::string_view path);
// "file://" and the encoded path.
std::string fileUrlOf(std::string_view path);
// The bytes an encoded URL path stands for, without a trailing slash; nothing when a "%" does not start an escape
// of two hex digits, or, with `refuseSeparators`, when an escape stands for "/" or NUL (a path read from outside
// must not gain a folder or lose its end that way).
std::optional<std::string> decodeUrlPath(std::string_view encoded, bool refuseSeparators);
// The file path a file URL from outside names ("file:///a%20b" -> "/a b"); nothing for another scheme, a host
// other than "localhost", a query or fragment, a bad escape, or an escaped "/" or NUL.
std::optional<std::string> pathOfFileUrl(std::string_view url);

}  // namespace vantorix
