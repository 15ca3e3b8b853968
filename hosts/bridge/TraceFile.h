// VANTORIX_TRACE=FILE: every call across the file manager boundary, appended to FILE as the JSON lines of
// `vantorix-finder trace`, with "t" counted in seconds since the module started (so it keeps growing across
// restarts of the extension process). One write per line, to a file opened for appending.
#pragma once

#include <nlohmann/json.hpp>

#include <glib.h>

#include <string>

namespace vantorix::nautilus {

class TraceFile {
public:
    explicit TraceFile(const char* path);  // nullptr or "": no trace
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    void write(nlohmann::ordered_json& call);

private:
    int fd_ = -1;
    gint64 start_;
};

}  // namespace vantorix::nautilus
