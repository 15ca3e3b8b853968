#include "ServiceProcess.h"

#include "BareExchange.h"
#include "protocol/Wire.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vantorix::bench {

ServiceProcess::ServiceProcess(const std::string& program, const std::string& root, const std::string& statsFile, std::chrono::milliseconds limit)
    : statsFile_(statsFile) {
    pid_ = ::fork();
    if (pid_ == 0) {
        int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, 2);
        ::execl(program.c_str(), "vantorix-localservice", "--root", root.c_str(), "--stats-file", statsFile.c_str(), nullptr);
        std::_Exit(127);
    }
    auto end = std::chrono::steady_clock::now() + limit;
    while (bareExchange(kServicePort, "PING\n") != "PONG\n") {
        int status = 0;
        if (std::chrono::steady_clock::now() > end || ::waitpid(pid_, &status, WNOHANG) == pid_) {
            throw std::runtime_error("the local service did not answer on 127.0.0.1:27835 (is something else listening there?)");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

ServiceProcess::~ServiceProcess() {
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}

nlohmann::json ServiceProcess::stats() const {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::ifstream file(statsFile_);
    nlohmann::json parsed = nlohmann::json::parse(file, nullptr, false);
    return parsed.is_discarded() ? nlohmann::json::object() : parsed;
}

}  // namespace vantorix::bench
