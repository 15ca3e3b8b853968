#include "Journal.h"

#include <systemd/sd-journal.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace vantorix::posix {
namespace {

int priorityOf(LogLevel level) {
    switch (level) {
    case LogLevel::debug: return 7;
    case LogLevel::info: return 6;
    case LogLevel::notice: return 5;
    case LogLevel::warning: return 4;
    case LogLevel::error: return 3;
    }
    return 6;
}

// A journal field name: VANTORIX_ and the key in upper case, with anything but letters, digits and "_" dropped.
std::string journalFieldName(const std::string& key) {
    std::string name = "VANTORIX_";
    for (char c : key) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return name;
}

}  // namespace

Journal::Journal() : identifier_(program_invocation_short_name) {
    struct stat info {};
    journalRuns_ = ::stat("/run/systemd/journal/socket", &info) == 0;
    const char* asked = std::getenv("VANTORIX_LOG");
    if (asked == nullptr || *asked == '\0') return;
    std::string level = asked;
    toStandardError_ = true;
    if (level == "debug") threshold_ = LogLevel::debug;
    else if (level == "info") threshold_ = LogLevel::info;
    else if (level == "notice") threshold_ = LogLevel::notice;
    else if (level == "warning") threshold_ = LogLevel::warning;
    else if (level == "error") threshold_ = LogLevel::error;
    else if (level == "off") off_ = true, toStandardError_ = false;
    else std::fprintf(stderr, "%s: VANTORIX_LOG=%s is not a level (debug, info, notice, warning, error, off); using info\n", identifier_.c_str(), asked);
}

void Journal::write(const LogEntry& entry) {
    if (off_ || entry.level < threshold_) return;
    if (journalRuns_) {
        std::vector<std::string> lines{
            "MESSAGE=" + entry.message,
            "PRIORITY=" + std::to_string(priorityOf(entry.level)),
            "SYSLOG_IDENTIFIER=" + identifier_,
            "VANTORIX_CATEGORY=" + entry.category,
        };
        for (const auto& field : entry.fields) lines.push_back(journalFieldName(field.key) + "=" + field.value);
        std::vector<iovec> vector;
        for (auto& line : lines) vector.push_back({line.data(), line.size()});
        sd_journal_sendv(vector.data(), static_cast<int>(vector.size()));
    }
    if (toStandardError_) {
        std::string line = identifier_ + "[" + std::to_string(::getpid()) + "] " + nameOf(entry.level) + " " + entry.category + ": " + entry.message;
        for (const auto& field : entry.fields) line += " " + field.key + "=" + field.value;
        line += "\n";
        std::lock_guard lock(standardErrorMutex_);
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
}

}  // namespace vantorix::posix
