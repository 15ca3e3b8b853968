#include "OpenedByProcess.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace vantorix::testing {
namespace {

// Each open descriptor of the process: its number, and what it points at.
std::vector<std::pair<std::string, std::string>> descriptorsOf(pid_t pid) {
    std::vector<std::pair<std::string, std::string>> descriptors;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (!error) descriptors.emplace_back(entry.path().filename().string(), target);
    }
    return descriptors;
}

}  // namespace

std::vector<std::string> listeningAddresses(pid_t pid) {
    std::set<std::string> targets;  // a socket's is "socket:[INODE]"
    for (const auto& [fd, target] : descriptorsOf(pid)) targets.insert(target);
    std::vector<std::string> addresses;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream file(table);
        std::string line, local, state, skip, inode;
        for (std::getline(file, line); std::getline(file, line);) {
            std::istringstream(line) >> skip >> local >> skip >> state >> skip >> skip >> skip >> skip >> skip >> inode;
            if (state == "0A" && targets.count("socket:[" + inode + "]") != 0) addresses.push_back(local);
        }
    }
    return addresses;
}

std::vector<std::string> filesOpenForWriting(pid_t pid) {
    std::vector<std::string> files;
    for (const auto& [fd, target] : descriptorsOf(pid)) {
        if (!target.starts_with("/") || target.starts_with("/dev/")) continue;
        std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + fd);
        for (std::string key, flags; info >> key >> flags;) {
            if (key == "flags:" && (std::stoi(flags, nullptr, 8) & O_ACCMODE) != O_RDONLY) files.push_back(target);
        }
    }
    return files;
}

}  // namespace vantorix::testing
