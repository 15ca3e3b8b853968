// Child processes of a test: started with their output in a log, waited for with a limit; waiting in real time for
// what they or other threads bring about; files read whole, and a temporary folder of the test's own.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vantorix::testing {

// Starts `command` (a path, then its arguments) with standard output and error appended to `log`, as the user
// `uid` if one is given; its pid.
inline pid_t spawn(const std::vector<std::string>& command, const std::string& log, std::optional<uid_t> uid = std::nullopt) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(fd, 1), ::dup2(fd, 2);
        ::close_range(3, ~0U, 0);
        if (uid && (::setgid(*uid) != 0 || ::setuid(*uid) != 0)) std::_Exit(126);
        std::vector<char*> argv;
        for (const auto& word : command) argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        std::_Exit(127);
    }
    return pid;
}

// Whether `condition` holds, asked every `step` until it does or `limit` has passed.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit, std::chrono::milliseconds step = std::chrono::milliseconds(10)) {
    for (auto end = std::chrono::steady_clock::now() + limit;; std::this_thread::sleep_for(step)) {
        if (condition()) return true;  // asked once per step: a condition may reap a process or take a line
        if (std::chrono::steady_clock::now() >= end) return false;
    }
}

// The exit status of the child `pid` within `limit` (128 + the signal when killed), reaping it; or -1.
inline int exitWithin(pid_t pid, std::chrono::milliseconds limit) {
    int status = 0;
    if (!eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit)) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline std::string contents(const std::string& file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A fresh folder /tmp/NAME.XXXXXX, removed with everything in it at the end of its scope.
struct TemporaryFolder {
    explicit TemporaryFolder(const std::string& name) : path(::mkdtemp(("/tmp/" + name + ".XXXXXX").data())) {}
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    const std::filesystem::path path;
};

}  // namespace vantorix::testing
