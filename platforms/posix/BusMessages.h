// Notifications as session bus messages: the signal Notification, signature "ssa{sv}" (name, sender object,
// user-info), read into and written from the typed user-info tree. Pure functions over one message: no
// connection, no thread, so that any bytes a bus peer can send can be tried on them.
#pragma once

#include "platform/NotificationCenter.h"

#include <optional>
#include <string>

typedef struct sd_bus_message sd_bus_message;

namespace vantorix::posix {

// The match rule of the signal: the notifications of every sender.
std::string notificationMatchRule();

// The notification a received message carries; nothing when its signature is not "ssa{sv}" or it is malformed.
// Values the tree cannot hold (structures, file descriptors, dictionaries keyed by numbers...) become
// Unsupported; nesting deeper than 64 levels likewise.
std::optional<Notification> decodeNotification(sd_bus_message* message);

// Appends name, sender and user-info to a new signal message; a user-info that is not a dictionary goes as an
// empty one. Returns the first sd-bus error (negative), or a non-negative value.
int appendNotification(sd_bus_message* message, const Notification& notification);

}  // namespace vantorix::posix
