// A file manager controller that records every call with its virtual time and keeps the resulting state: the
// registered badges, each item's badge and the observed directory set.
#pragma once

#include "platform/FinderSync.h"
#include "platform/Time.h"

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vantorix::simulation {

struct FileManagerCall {
    enum class Kind { setBadgeImage, setBadgeIdentifier, setDirectoryURLs };
    Kind kind;
    MonotonicTime at;
    std::string identifier;  // setBadgeImage, setBadgeIdentifier
    std::string label;       // setBadgeImage
    Image image;             // setBadgeImage
    std::optional<URL> url;  // setBadgeIdentifier
    std::set<URL> urls;      // setDirectoryURLs
};

class RecordingFileManager final : public FinderSyncController {
public:
    explicit RecordingFileManager(std::function<MonotonicTime()> clock) : clock_(std::move(clock)) {}

    void setBadgeImage(const Image& image, const std::string& label, const std::string& identifier) override;
    void setBadgeIdentifier(const std::string& identifier, const URL& url) override;
    void setDirectoryURLs(const std::set<URL>& urls) override;

    const std::vector<FileManagerCall>& calls() const { return calls_; }
    std::vector<FileManagerCall> callsOf(FileManagerCall::Kind kind) const;
    // The badge set for the item at `path` by the last call for it; nothing if none was ever set.
    std::optional<std::string> badgeOf(const std::string& path) const;
    const std::map<std::string, std::string>& badges() const { return badges_; }
    const std::set<URL>& directoryURLs() const { return directoryURLs_; }
    void clear() { calls_.clear(); }

private:
    std::function<MonotonicTime()> clock_;
    std::vector<FileManagerCall> calls_;
    std::map<std::string, std::string> badges_;
    std::set<URL> directoryURLs_;
};

}  // namespace vantorix::simulation
