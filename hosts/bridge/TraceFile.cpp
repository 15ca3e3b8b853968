#include "TraceFile.h"

#include "HoldMeter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace vantorix::bridge {

TraceFile::TraceFile(const std::string& path, std::string host, std::string& error)
    : host_(std::move(host)), start_(HoldMeter::nowMicroseconds()) {
    if (path.empty()) return;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) error = "cannot open the trace file " + path + ": " + std::strerror(errno);
}

TraceFile::~TraceFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool TraceFile::write(nlohmann::ordered_json& call, std::string& error) {
    if (fd_ < 0) return true;
    call["t"] = std::round(static_cast<double>(HoldMeter::nowMicroseconds() - start_) / 1000.0) / 1000.0;
    call["host"] = host_;
    std::string line = call.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    if (::write(fd_, line.data(), line.size()) >= 0) return true;
    error = std::string("cannot write the trace: ") + std::strerror(errno);
    return false;
}

}  // namespace vantorix::bridge
