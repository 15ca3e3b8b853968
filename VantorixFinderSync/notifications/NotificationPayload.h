// The acceptance rules of the local service's status-change notifications, applied to the typed user-info tree.
#pragma once

#include "../platform/NotificationCenter.h"

#include <optional>
#include <string>
#include <vector>

namespace vantorix {

inline constexpr const char* kStatusChangedNotification = "VantorixStatusChanged";
inline constexpr const char* kSharedStatusChangedNotification = "VantorixSharedStatusChanged";
inline constexpr const char* kReadonlyStatusChangedNotification = "VantorixReadonlyStatusChanged";

struct PushedState {
    std::string path;
    std::string state;
};

struct StatusChangePayload {
    std::vector<std::string> paths;
    // Present only when "sync_state" is an array of dictionaries; holds the entries with a string "path" and
    // a string "state", in order.
    std::optional<std::vector<PushedState>> syncState;
};

// Nothing when the notification must be ignored: no user-info dictionary, or "paths" missing or not an array of
// strings; `whyIgnored`, when given, then says which. `readSyncState` is false for the notifications that carry
// paths only.
std::optional<StatusChangePayload> parseStatusChangePayload(const Notification& notification, bool readSyncState, std::string* whyIgnored = nullptr);

}  // namespace vantorix
