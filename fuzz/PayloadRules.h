// The intake's acceptance rules, re-derived from the tree by the fuzz targets that decode notifications: a
// notification is taken exactly when its user-info is a dictionary whose "paths" is an array of strings, and
// "sync_state" is read exactly when it is an array of dictionaries, keeping the entries with a string "path" and
// a string "state", in order.
#pragma once

#include "FuzzInput.h"
#include "notifications/NotificationPayload.h"

#include <algorithm>

namespace vantorix::fuzz {

inline void checkAcceptance(const Notification& notification) {
    using Array = PropertyValue::Array;
    using Dictionary = PropertyValue::Dictionary;
    const auto* info = notification.userInfo ? notification.userInfo->as<Dictionary>() : nullptr;
    auto field = [](const Dictionary* dictionary, const char* key) -> const PropertyValue* {
        if (dictionary == nullptr) return nullptr;
        auto found = dictionary->find(key);
        return found == dictionary->end() ? nullptr : &found->second;
    };
    auto arrayOf = [](const PropertyValue* value, auto isElement) -> const Array* {
        const Array* items = value ? value->as<Array>() : nullptr;
        return items && std::all_of(items->begin(), items->end(), isElement) ? items : nullptr;
    };
    const Array* paths = arrayOf(field(info, "paths"), [](const PropertyValue& v) { return v.as<std::string>() != nullptr; });
    const Array* states = arrayOf(field(info, "sync_state"), [](const PropertyValue& v) { return v.as<Dictionary>() != nullptr; });

    for (bool readSyncState : {false, true}) {
        std::optional<StatusChangePayload> payload = parseStatusChangePayload(notification, readSyncState);
        FUZZ_REQUIRE(payload.has_value() == (paths != nullptr));
        if (!payload) continue;
        FUZZ_REQUIRE(payload->paths.size() == paths->size());
        for (std::size_t i = 0; i < paths->size(); ++i) FUZZ_REQUIRE(payload->paths[i] == *(*paths)[i].as<std::string>());
        FUZZ_REQUIRE(payload->syncState.has_value() == (readSyncState && states != nullptr));
        if (!payload->syncState) continue;
        std::size_t kept = 0;
        for (const auto& entry : *states) {
            const auto* path = field(entry.as<Dictionary>(), "path");
            const auto* state = field(entry.as<Dictionary>(), "state");
            if (!path || !state || !path->as<std::string>() || !state->as<std::string>()) continue;
            FUZZ_REQUIRE(kept < payload->syncState->size());
            const PushedState& pushed = (*payload->syncState)[kept++];
            FUZZ_REQUIRE(pushed.path == *path->as<std::string>() && pushed.state == *state->as<std::string>());
        }
        FUZZ_REQUIRE(kept == payload->syncState->size());
    }
}

}  // namespace vantorix::fuzz
