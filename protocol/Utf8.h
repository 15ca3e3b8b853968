// UTF-8 rules of the wire: which bytes are text, how an answer is trimmed, and how bytes are shown safely.
#pragma once

#include <string>
#include <string_view>

namespace vantorix {

// Whether the bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// Removes leading and trailing Unicode white space and line breaks (tab, line feed, vertical tab, form feed,
// carriage return, space, U+0085, U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
// The text must be valid UTF-8.
std::string trimWhitespaceAndNewlines(std::string_view text);

// The text with every ill-formed byte sequence replaced by U+FFFD, for output that must be UTF-8.
std::string replacingInvalidUtf8(std::string_view bytes);

}  // namespace vantorix
