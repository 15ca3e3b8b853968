// The extension entry point: reads the bundle's property list, finds the principal class it names and makes
// that class's object, as the platform does when it loads an extension.
#pragma once

#include "platform/Platform.h"

#include <memory>
#include <optional>
#include <string>

namespace vantorix {

// The principal class named by the property list text (NSExtension / NSExtensionPrincipalClass), if any.
std::optional<std::string> principalClassName(const std::string& propertyListText);

// Makes the principal class's object on `platform` from the property list at `infoPlistPath`. Nothing when the
// file cannot be read or names a class this bundle does not hold; `error` then says why.
std::shared_ptr<FinderSyncExtension> extensionMain(Platform& platform, const std::string& infoPlistPath, std::string& error);

}  // namespace vantorix
