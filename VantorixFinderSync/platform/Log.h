// Log entries of the platform seam: what happened and why, for the person chasing a problem later.
//
// An entry has a level, a category (the part of the extension it comes from), a message that reads as a sentence
// and a few key/value fields (a reason tag, a path, an errno text). The real platform writes entries to the
// systemd journal and, when VANTORIX_LOG asks for it, to standard error; the simulated platform records them so
// that a test can assert why something happened.
#pragma once

#include <string>
#include <vector>

namespace vantorix {

enum class LogLevel { debug, info, notice, warning, error };

struct LogField {
    std::string key;    // lower snake case, such as "reason" or "cause"
    std::string value;
};

struct LogEntry {
    LogLevel level;
    std::string category;
    std::string message;
    std::vector<LogField> fields;

    // The value of the field `key`, or "" when the entry has none.
    std::string field(const std::string& key) const {
        for (const auto& f : fields) {
            if (f.key == key) return f.value;
        }
        return "";
    }
};

inline const char* nameOf(LogLevel level) {
    switch (level) {
    case LogLevel::debug: return "debug";
    case LogLevel::info: return "info";
    case LogLevel::notice: return "notice";
    case LogLevel::warning: return "warning";
    case LogLevel::error: return "error";
    }
    return "info";
}

}  // namespace vantorix
