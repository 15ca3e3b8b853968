#include "StatusRules.h"

#include <cstdio>
#include <fnmatch.h>
#include <fstream>
#include <sstream>

namespace vantorix::localservice {

std::vector<StatusRule> parseStatusRules(const std::string& text, std::vector<std::string>& problems) {
    std::vector<StatusRule> rules;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        std::size_t space = line.find_first_of(" \t", start);
        std::string code = line.substr(start, space == std::string::npos ? std::string::npos : space - start);
        std::size_t globStart = space == std::string::npos ? std::string::npos : line.find_first_not_of(" \t", space);
        if (code.size() != 1 || code[0] < '0' || code[0] > '7' || globStart == std::string::npos) {
            problems.push_back("line " + std::to_string(number) + ": expected \"CODE GLOB\" with a code from 0 to 7: " + line);
            continue;
        }
        std::string glob = line.substr(globStart);
        while (!glob.empty() && (glob.back() == ' ' || glob.back() == '\t')) glob.pop_back();
        rules.push_back({code, glob});
    }
    return rules;
}

StatusRules::StatusRules(std::string root, std::string statusFile) : root_(std::move(root)), statusFile_(std::move(statusFile)) {
    reloadIfChanged();
}

bool StatusRules::reloadIfChanged() {
    if (statusFile_.empty()) return false;
    struct stat info {};
    if (::stat(statusFile_.c_str(), &info) != 0) {
        bool hadRules = !rules_.empty() || seenModification_;
        rules_.clear();
        seenModification_.reset();
        return hadRules;
    }
    if (seenModification_ && seenModification_->tv_sec == info.st_mtim.tv_sec && seenModification_->tv_nsec == info.st_mtim.tv_nsec &&
        seenSize_ == info.st_size) {
        return false;
    }
    seenModification_ = info.st_mtim;
    seenSize_ = info.st_size;
    std::ifstream file(statusFile_);
    std::stringstream text;
    text << file.rdbuf();
    std::vector<std::string> problems;
    rules_ = parseStatusRules(text.str(), problems);
    for (const auto& problem : problems) std::fprintf(stderr, "vantorix-localservice: %s: %s\n", statusFile_.c_str(), problem.c_str());
    return true;
}

std::string StatusRules::statusOf(const std::string& path) const {
    bool inside = path.size() > root_.size() && path.compare(0, root_.size(), root_) == 0 && path[root_.size()] == '/';
    if (!inside) return "4";
    std::string relative = path.substr(root_.size() + 1);
    std::string code = "0";
    for (const auto& rule : rules_) {
        const std::string& subject = rule.glob[0] == '/' ? path : relative;
        if (::fnmatch(rule.glob.c_str(), subject.c_str(), 0) == 0) code = rule.code;
    }
    return code;
}

}  // namespace vantorix::localservice
