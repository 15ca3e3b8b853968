#include "JsonUserInfo.h"

#include <nlohmann/json.hpp>

#include <limits>

namespace vantorix::session {
namespace {

// Deeper nesting than this becomes a value no rule accepts, so that a hostile payload cannot exhaust the stack.
constexpr int kMaximumDepth = 64;

PropertyValue convert(const nlohmann::json& value, int depth) {
    if (depth > kMaximumDepth) return PropertyValue();
    switch (value.type()) {
    case nlohmann::json::value_t::string: return PropertyValue(value.get<std::string>());
    case nlohmann::json::value_t::boolean: return PropertyValue(value.get<bool>());
    case nlohmann::json::value_t::number_integer: return PropertyValue(value.get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned: {
        auto number = value.get<std::uint64_t>();
        if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return PropertyValue(static_cast<std::int64_t>(number));
        return PropertyValue(static_cast<double>(number));
    }
    case nlohmann::json::value_t::number_float: return PropertyValue(value.get<double>());
    case nlohmann::json::value_t::array: {
        PropertyValue::Array items;
        items.reserve(value.size());
        for (const auto& item : value) items.push_back(convert(item, depth + 1));
        return PropertyValue(std::move(items));
    }
    case nlohmann::json::value_t::object: {
        PropertyValue::Dictionary entries;
        for (const auto& [key, item] : value.items()) entries.emplace(key, convert(item, depth + 1));
        return PropertyValue(std::move(entries));
    }
    default: return PropertyValue();
    }
}

}  // namespace

std::optional<PropertyValue> userInfoFromJson(const std::string& text, std::string& error) {
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded()) {
        error = "not valid JSON";
        return std::nullopt;
    }
    return convert(parsed, 0);
}

}  // namespace vantorix::session
