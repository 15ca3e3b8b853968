// VANTORIX_TRACE=FILE: every call across the file manager boundary, appended to FILE as the JSON lines of the
// host protocol, with "t" counted in seconds since the module started (so it keeps growing across connections to
// the service) and "host" naming the file manager, so that several hosts can share one file. One write per line,
// to a file opened for appending.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace vantorix::bridge {

class TraceFile {
public:
    // "": no trace. `error` says why a file could not be opened.
    TraceFile(const std::string& path, std::string host, std::string& error);
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    bool enabled() const { return fd_ >= 0; }
    // Writes the call; false with `error` when the write failed.
    bool write(nlohmann::ordered_json& call, std::string& error);

private:
    int fd_ = -1;
    std::string host_;
    std::int64_t start_;
};

}  // namespace vantorix::bridge
