// JSON text to a notification's user-info tree: strings, booleans, integers, doubles, arrays and objects map onto
// their PropertyValue kinds; null becomes a value no type rule accepts.
#pragma once

#include "platform/PropertyValue.h"

#include <optional>
#include <string>

namespace vantorix::session {

// Nothing when the text is not JSON; `error` then says where.
std::optional<PropertyValue> userInfoFromJson(const std::string& text, std::string& error);

}  // namespace vantorix::session
