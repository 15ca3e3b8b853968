#include "NotificationPayload.h"

namespace vantorix {

std::optional<StatusChangePayload> parseStatusChangePayload(const Notification& notification, bool readSyncState, std::string* whyIgnored) {
    auto ignore = [whyIgnored](const char* why) -> std::optional<StatusChangePayload> {
        if (whyIgnored != nullptr) *whyIgnored = why;
        return std::nullopt;
    };
    if (!notification.userInfo) return ignore("no user-info");
    const auto* userInfo = notification.userInfo->as<PropertyValue::Dictionary>();
    if (userInfo == nullptr) return ignore("the user-info is not a dictionary");

    auto pathsEntry = userInfo->find("paths");
    if (pathsEntry == userInfo->end()) return ignore("no \"paths\"");
    const auto* paths = pathsEntry->second.as<PropertyValue::Array>();
    if (paths == nullptr) return ignore("\"paths\" is not an array");
    StatusChangePayload payload;
    payload.paths.reserve(paths->size());
    for (const auto& element : *paths) {
        const auto* path = element.as<std::string>();
        if (path == nullptr) return ignore("\"paths\" holds a value that is not a string");
        payload.paths.push_back(*path);
    }

    if (!readSyncState) return payload;
    auto stateEntry = userInfo->find("sync_state");
    if (stateEntry == userInfo->end()) return payload;
    const auto* entries = stateEntry->second.as<PropertyValue::Array>();
    if (entries == nullptr) return payload;
    for (const auto& entry : *entries) {
        if (entry.as<PropertyValue::Dictionary>() == nullptr) return payload;  // not an array of dictionaries: absent
    }
    payload.syncState.emplace();
    for (const auto& entry : *entries) {
        const auto& fields = *entry.as<PropertyValue::Dictionary>();
        auto path = fields.find("path");
        auto state = fields.find("state");
        if (path == fields.end() || state == fields.end()) continue;
        const auto* pathText = path->second.as<std::string>();
        const auto* stateText = state->second.as<std::string>();
        if (pathText == nullptr || stateText == nullptr) continue;
        payload.syncState->push_back({*pathText, *stateText});
    }
    return payload;
}

}  // namespace vantorix
