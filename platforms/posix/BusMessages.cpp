#include "BusMessages.h"

#include "SessionBusNotificationCenter.h"

#include <systemd/sd-bus.h>

#include <cstdint>
#include <cstring>
#include <limits>

namespace vantorix::posix {
namespace {

constexpr int kMaximumDepth = 64;

// Reads the next complete value of the message into the tree. Types the tree cannot hold become Unsupported
// and are skipped whole. Returns false when the message is malformed.
bool readValue(sd_bus_message* message, PropertyValue& value, int depth) {
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(message, &type, &contents) <= 0) return false;
    auto skip = [&] {
        value = PropertyValue();
        return sd_bus_message_skip(message, nullptr) >= 0;
    };
    if (depth > kMaximumDepth) return skip();
    switch (type) {
    case SD_BUS_TYPE_STRING:
    case SD_BUS_TYPE_OBJECT_PATH: {
        const char* text = nullptr;
        if (sd_bus_message_read_basic(message, type, &text) < 0) return false;
        value = PropertyValue(std::string(text));
        return true;
    }
    case SD_BUS_TYPE_BOOLEAN: {
        int flag = 0;
        if (sd_bus_message_read_basic(message, type, &flag) < 0) return false;
        value = PropertyValue(flag != 0);
        return true;
    }
    case SD_BUS_TYPE_BYTE: {
        std::uint8_t number = 0;
        if (sd_bus_message_read_basic(message, type, &number) < 0) return false;
        value = PropertyValue(std::int64_t{number});
        return true;
    }
    case SD_BUS_TYPE_INT16:
    case SD_BUS_TYPE_UINT16:
    case SD_BUS_TYPE_INT32:
    case SD_BUS_TYPE_UINT32:
    case SD_BUS_TYPE_INT64:
    case SD_BUS_TYPE_UINT64: {
        union {
            std::int16_t i16;
            std::uint16_t u16;
            std::int32_t i32;
            std::uint32_t u32;
            std::int64_t i64;
            std::uint64_t u64;
        } number{};
        if (sd_bus_message_read_basic(message, type, &number) < 0) return false;
        std::int64_t result = 0;
        switch (type) {
        case SD_BUS_TYPE_INT16: result = number.i16; break;
        case SD_BUS_TYPE_UINT16: result = number.u16; break;
        case SD_BUS_TYPE_INT32: result = number.i32; break;
        case SD_BUS_TYPE_UINT32: result = number.u32; break;
        case SD_BUS_TYPE_INT64: result = number.i64; break;
        default:
            if (number.u64 > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                value = PropertyValue(static_cast<double>(number.u64));
                return true;
            }
            result = static_cast<std::int64_t>(number.u64);
        }
        value = PropertyValue(result);
        return true;
    }
    case SD_BUS_TYPE_DOUBLE: {
        double number = 0;
        if (sd_bus_message_read_basic(message, type, &number) < 0) return false;
        value = PropertyValue(number);
        return true;
    }
    case SD_BUS_TYPE_VARIANT: {
        if (sd_bus_message_enter_container(message, SD_BUS_TYPE_VARIANT, contents) < 0) return false;
        if (!readValue(message, value, depth + 1)) return false;
        return sd_bus_message_exit_container(message) >= 0;
    }
    case SD_BUS_TYPE_ARRAY: {
        if (contents[0] == SD_BUS_TYPE_DICT_ENTRY_BEGIN) {
            // Only dictionaries keyed by strings are dictionaries of the tree.
            if (contents[1] != SD_BUS_TYPE_STRING && contents[1] != SD_BUS_TYPE_OBJECT_PATH) return skip();
            if (sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, contents) < 0) return false;
            PropertyValue::Dictionary entries;
            std::string entrySignature(contents + 1, std::strlen(contents) - 2);
            for (;;) {
                int entered = sd_bus_message_enter_container(message, SD_BUS_TYPE_DICT_ENTRY, entrySignature.c_str());
                if (entered < 0) return false;
                if (entered == 0) break;
                const char* key = nullptr;
                if (sd_bus_message_read_basic(message, contents[1], &key) < 0) return false;
                PropertyValue item;
                if (!readValue(message, item, depth + 1)) return false;
                entries.insert_or_assign(key, std::move(item));
                if (sd_bus_message_exit_container(message) < 0) return false;
            }
            if (sd_bus_message_exit_container(message) < 0) return false;
            value = PropertyValue(std::move(entries));
            return true;
        }
        if (sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, contents) < 0) return false;
        PropertyValue::Array items;
        while (sd_bus_message_at_end(message, false) == 0) {
            PropertyValue item;
            if (!readValue(message, item, depth + 1)) return false;
            items.push_back(std::move(item));
        }
        if (sd_bus_message_exit_container(message) < 0) return false;
        value = PropertyValue(std::move(items));
        return true;
    }
    default:
        return skip();  // structures, file descriptors, signatures: nothing a rule accepts
    }
}

// Appends one value as the contents of a variant.
int appendVariant(sd_bus_message* message, const PropertyValue& value, int depth);

int appendDictionary(sd_bus_message* message, const PropertyValue::Dictionary& entries, int depth) {
    int r = sd_bus_message_open_container(message, SD_BUS_TYPE_ARRAY, "{sv}");
    for (const auto& [key, item] : entries) {
        if (r < 0) return r;
        r = sd_bus_message_open_container(message, SD_BUS_TYPE_DICT_ENTRY, "sv");
        if (r >= 0) r = sd_bus_message_append_basic(message, SD_BUS_TYPE_STRING, key.c_str());
        if (r >= 0) r = appendVariant(message, item, depth + 1);
        if (r >= 0) r = sd_bus_message_close_container(message);
    }
    return r < 0 ? r : sd_bus_message_close_container(message);
}

int appendVariant(sd_bus_message* message, const PropertyValue& value, int depth) {
    if (depth > kMaximumDepth) return sd_bus_message_append(message, "v", "g", "");
    if (const auto* text = value.as<std::string>()) return sd_bus_message_append(message, "v", "s", text->c_str());
    if (const auto* flag = value.as<bool>()) return sd_bus_message_append(message, "v", "b", static_cast<int>(*flag));
    if (const auto* number = value.as<std::int64_t>()) return sd_bus_message_append(message, "v", "x", *number);
    if (const auto* number = value.as<double>()) return sd_bus_message_append(message, "v", "d", *number);
    if (const auto* items = value.as<PropertyValue::Array>()) {
        bool allStrings = !items->empty();
        for (const auto& item : *items) allStrings = allStrings && item.as<std::string>() != nullptr;
        int r = sd_bus_message_open_container(message, SD_BUS_TYPE_VARIANT, allStrings ? "as" : "av");
        if (r >= 0) r = sd_bus_message_open_container(message, SD_BUS_TYPE_ARRAY, allStrings ? "s" : "v");
        for (const auto& item : *items) {
            if (r < 0) return r;
            r = allStrings ? sd_bus_message_append_basic(message, SD_BUS_TYPE_STRING, item.as<std::string>()->c_str())
                           : appendVariant(message, item, depth + 1);
        }
        if (r >= 0) r = sd_bus_message_close_container(message);
        return r < 0 ? r : sd_bus_message_close_container(message);
    }
    if (const auto* entries = value.as<PropertyValue::Dictionary>()) {
        int r = sd_bus_message_open_container(message, SD_BUS_TYPE_VARIANT, "a{sv}");
        if (r >= 0) r = appendDictionary(message, *entries, depth);
        return r < 0 ? r : sd_bus_message_close_container(message);
    }
    // Unsupported: a signature, which no rule of the receiver accepts.
    return sd_bus_message_append(message, "v", "g", "");
}

}  // namespace

std::string notificationMatchRule() {
    return std::string("type='signal',interface='") + SessionBusNotificationCenter::kInterface + "',member='" + SessionBusNotificationCenter::kMember + "'";
}

std::optional<Notification> decodeNotification(sd_bus_message* message) {
    if (!sd_bus_message_has_signature(message, "ssa{sv}")) return std::nullopt;
    const char* name = nullptr;
    const char* object = nullptr;
    if (sd_bus_message_read(message, "ss", &name, &object) < 0) return std::nullopt;
    PropertyValue userInfo;
    if (!readValue(message, userInfo, 0)) return std::nullopt;
    return Notification{name, object, std::move(userInfo)};
}

int appendNotification(sd_bus_message* message, const Notification& notification) {
    int r = sd_bus_message_append(message, "ss", notification.name.c_str(), notification.object.c_str());
    if (r < 0) return r;
    const auto* entries = notification.userInfo ? notification.userInfo->as<PropertyValue::Dictionary>() : nullptr;
    return appendDictionary(message, entries != nullptr ? *entries : PropertyValue::Dictionary{}, 0);
}

}  // namespace vantorix::posix
