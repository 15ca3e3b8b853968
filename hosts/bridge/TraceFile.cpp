#include "TraceFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

namespace vantorix::nautilus {

TraceFile::TraceFile(const char* path) : start_(g_get_monotonic_time()) {
    if (path == nullptr || *path == '\0') return;
    fd_ = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) g_message("vantorix: cannot open the trace file %s: %s", path, g_strerror(errno));
}

TraceFile::~TraceFile() {
    if (fd_ >= 0) ::close(fd_);
}

void TraceFile::write(nlohmann::ordered_json& call) {
    if (fd_ < 0) return;
    call["t"] = std::round(static_cast<double>(g_get_monotonic_time() - start_) / 1000.0) / 1000.0;
    std::string line = call.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    if (::write(fd_, line.data(), line.size()) < 0) g_message("vantorix: cannot write the trace: %s", g_strerror(errno));
}

}  // namespace vantorix::nautilus
