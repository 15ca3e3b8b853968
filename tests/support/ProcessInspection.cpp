#include "ProcessInspection.h"

#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sstream>
#include <unistd.h>

namespace vantorix::testing {
namespace {

std::vector<std::string> descriptorsOf(pid_t pid) {
    std::vector<std::string> targets;
    std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* directory = ::opendir(folder.c_str());
    if (directory == nullptr) return targets;
    while (dirent* entry = ::readdir(directory)) {
        char target[4096];
        ssize_t n = ::readlink((folder + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (n > 0) targets.push_back(std::string(entry->d_name) + " " + std::string(target, static_cast<std::size_t>(n)));
    }
    ::closedir(directory);
    return targets;
}

}  // namespace

std::vector<std::string> listeningAddresses(pid_t pid) {
    std::set<std::string> inodes;
    if (pid > 0) {
        for (const auto& descriptor : descriptorsOf(pid)) {
            auto at = descriptor.find("socket:[");
            if (at != std::string::npos) inodes.insert(descriptor.substr(at + 8, descriptor.size() - at - 9));
        }
    }
    std::vector<std::string> addresses;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream file(table);
        std::string line;
        std::getline(file, line);
        while (std::getline(file, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            if (state == "0A" && (pid <= 0 || inodes.count(inode) != 0)) addresses.push_back(local);
        }
    }
    return addresses;
}

std::vector<std::string> filesOpenForWriting(pid_t pid) {
    std::vector<std::string> files;
    for (const auto& descriptor : descriptorsOf(pid)) {
        std::string fd = descriptor.substr(0, descriptor.find(' ')), target = descriptor.substr(descriptor.find(' ') + 1);
        if (target.empty() || target[0] != '/' || target.rfind("/dev/", 0) == 0) continue;
        std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + fd);
        std::string key, flags;
        while (info >> key >> flags) {
            if (key == "flags:" && (std::stoi(flags, nullptr, 8) & O_ACCMODE) != O_RDONLY) files.push_back(target);
        }
    }
    return files;
}

}  // namespace vantorix::testing
