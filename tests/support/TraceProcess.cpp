#include "TraceProcess.h"

#include "ChildProcess.h"

#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace vantorix::testing {

TraceProcess::TraceProcess(const std::string& program, LineHandler handler, std::vector<std::string> arguments) : handler_(std::move(handler)) {
    std::vector<char*> argv{const_cast<char*>("vantorix-finder")};
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::close_range(3, ~0U, 0);  // nothing of the test's (its log files, its sockets) leaks into the program
        ::execv(program.c_str(), argv.data());
        std::_Exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
    reader_ = std::thread([this] { readOutput(); });
}

TraceProcess::~TraceProcess() {
    closeInput();
    if (!waitForExit(std::chrono::seconds(5))) {
        ::kill(pid_, SIGKILL);
        waitForExit(std::chrono::seconds(5));
    }
    reader_.join();
    ::close(output_);
}

void TraceProcess::send(const std::string& command) {
    std::string line = command + "\n";
    if (input_ >= 0) (void)!::write(input_, line.data(), line.size());
}

void TraceProcess::closeInput() {
    if (input_ >= 0) ::close(std::exchange(input_, -1));
}

std::optional<int> TraceProcess::waitForExit(std::chrono::milliseconds limit) {
    if (int status; !status_ && (status = exitWithin(pid_, limit)) >= 0) status_ = status;
    return status_;
}

bool TraceProcess::waitFor(const std::function<bool(const Lines&)>& condition, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, limit, [&] { return condition(lines_); });
}

std::map<std::string, std::string> TraceProcess::badgesIn(const Lines& lines) {
    std::map<std::string, std::string> badges;
    for (const auto& line : lines) {
        if (line.value("call", "") == "setBadgeIdentifier") badges[line.value("path", "")] = line.value("badge", "");
    }
    return badges;
}

void TraceProcess::readOutput() {
    std::string pending;
    char buffer[65536];
    for (ssize_t n; (n = ::read(output_, buffer, sizeof buffer)) > 0;) {
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t newline; (newline = pending.find('\n')) != std::string::npos; pending.erase(0, newline + 1)) {
            nlohmann::json parsed = nlohmann::json::parse(pending.substr(0, newline), nullptr, false);
            if (parsed.is_discarded()) parsed = nlohmann::json{{"unparsed", pending.substr(0, newline)}};
            if (handler_) {
                handler_(parsed, std::chrono::steady_clock::now());
                continue;
            }
            std::lock_guard lock(mutex_);
            lines_.push_back(std::move(parsed));
            arrived_.notify_all();
        }
    }
}

}  // namespace vantorix::testing
