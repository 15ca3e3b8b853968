// Where the real platform's log entries go: the systemd journal, under the program's name as its identifier
// (so that `journalctl -t vantorix-finder` tells one program's story), and standard error when the environment
// variable VANTORIX_LOG names a level (debug, info, notice, warning, error). Without VANTORIX_LOG, entries of
// level info and above go to the journal only; VANTORIX_LOG=off writes nothing.
#pragma once

#include "platform/Log.h"

#include <mutex>
#include <string>

namespace vantorix::posix {

class Journal {
public:
    // Reads VANTORIX_LOG and looks for the journal once.
    Journal();

    LogLevel threshold() const { return threshold_; }
    bool writesNothing() const { return off_; }
    // Writes an entry to the journal (when one runs) and to standard error (when asked). Any thread.
    void write(const LogEntry& entry);

private:
    std::string identifier_;
    LogLevel threshold_ = LogLevel::info;
    bool off_ = false;
    bool toStandardError_ = false;
    bool journalRuns_ = false;
    std::mutex standardErrorMutex_;  // keeps lines from several threads whole
};

}  // namespace vantorix::posix
