#include "ExtensionEntryPoint.h"

#include "../VantorixFinderSync.h"

#include <fstream>
#include <regex>
#include <sstream>

namespace vantorix {

std::optional<std::string> principalClassName(const std::string& propertyListText) {
    static const std::regex kEntry(R"(<key>\s*NSExtensionPrincipalClass\s*</key>\s*<string>\s*([^<]*?)\s*</string>)");
    std::smatch match;
    if (!std::regex_search(propertyListText, match, kEntry)) return std::nullopt;
    return match[1].str();
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
