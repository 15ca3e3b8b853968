// Where the reference local service's statuses come from: a status file of "CODE GLOB" lines, the last
// matching line winning, re-read whenever it changes; paths inside the root that no line matches are synced
// ("0"), paths outside it excluded ("4").
//
// A GLOB is matched, with shell wildcards, against the path relative to the root ("Shared/*", "*.tmp"); "*" also
// matches "/". A GLOB that starts with "/" is matched against the absolute path. Lines starting with "#" and
// blank lines are ignored; a malformed line is reported once and skipped.
#pragma once

#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace vantorix::localservice {

struct StatusRule {
    std::string code;  // "0" to "7"
    std::string glob;
};

// The rules of a status file's text; `problems` gets one line per malformed line.
std::vector<StatusRule> parseStatusRules(const std::string& text, std::vector<std::string>& problems);

class StatusRules {
public:
    StatusRules(std::string root, std::string statusFile);

    // Re-reads the status file if it changed since the last look; returns whether the rules changed.
    bool reloadIfChanged();
    std::string statusOf(const std::string& path) const;
    const std::string& root() const { return root_; }

private:
    std::string root_;
    std::string statusFile_;
    std::vector<StatusRule> rules_;
    std::optional<struct timespec> seenModification_;
    off_t seenSize_ = -1;
};

}  // namespace vantorix::localservice
