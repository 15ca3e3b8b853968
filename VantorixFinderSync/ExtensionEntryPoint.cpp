#include "ExtensionEntryPoint.h"

#include "VantorixFinderSync.h"
#include "protocol/Utf8.h"

#include <fstream>
#include <sstream>

namespace vantorix {

std::optional<std::string> principalClassName(const std::string& propertyListText) {
    static const std::string kKey = "<key>NSExtensionPrincipalClass</key>";
    std::size_t key = propertyListText.find(kKey);
    if (key == std::string::npos) return std::nullopt;
    std::size_t open = propertyListText.find("<string>", key + kKey.size());
    if (open == std::string::npos || !trimWhitespaceAndNewlines(propertyListText.substr(key + kKey.size(), open - key - kKey.size())).empty()) return std::nullopt;
    std::size_t close = propertyListText.find("</string>", open);
    if (close == std::string::npos) return std::nullopt;
    std::string name = trimWhitespaceAndNewlines(propertyListText.substr(open + 8, close - open - 8));
    if (name.empty()) return std::nullopt;
    return name;
}

std::shared_ptr<FinderSyncExtension> extensionMain(Platform& platform, const std::string& infoPlistPath, std::string& error) {
    std::ifstream file(infoPlistPath);
    if (!file) {
        error = "cannot read the bundle's property list " + infoPlistPath;
        return nullptr;
    }
    std::stringstream text;
    text << file.rdbuf();
    std::optional<std::string> className = principalClassName(text.str());
    if (!className) {
        error = infoPlistPath + " names no principal class";
        return nullptr;
    }
    if (*className == "VantorixFinderSync") return VantorixFinderSync::create(platform);
    error = "the bundle holds no class named " + *className;
    return nullptr;
}

}  // namespace vantorix
