#include "HostSocket.h"

#include "HostWire.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vantorix::host {
namespace {

HostSocket outcome(HostSocket::State state, std::string error, int fd = -1) { return HostSocket{state, fd, std::move(error)}; }

std::string ownerText(const struct stat& info) {
    char text[64];
    std::snprintf(text, sizeof text, "owner uid %u, mode %03o", static_cast<unsigned>(info.st_uid), static_cast<unsigned>(info.st_mode & 07777));
    return text;
}

}  // namespace

bool peerCredentials(int fd, int& uid, int& pid) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return false;
    uid = static_cast<int>(credentials.uid);
    pid = static_cast<int>(credentials.pid);
    return true;
}

HostSocket connectHostSocket(const std::string& runtimeDirectory, bool nonBlocking) {
    using State = HostSocket::State;
    if (runtimeDirectory.empty()) return outcome(State::unsafe, "XDG_RUNTIME_DIR is not set, so there is no place for the service's socket");
    const uid_t me = ::getuid();
    std::string folder = socketFolder(runtimeDirectory), path = socketPath(runtimeDirectory);
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0) {
        if (errno == ENOENT) return outcome(State::absent, folder + " does not exist");
        return outcome(State::failed, folder + ": " + std::strerror(errno));
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != me || (info.st_mode & 077) != 0) {
        return outcome(State::unsafe, folder + " is not a private folder of this user (" + ownerText(info) + "): not connecting");
    }
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return outcome(State::absent, path + " does not exist");
        return outcome(State::failed, path + ": " + std::strerror(errno));
    }
    if (!S_ISSOCK(info.st_mode) || info.st_uid != me) return outcome(State::unsafe, path + " is not this user's socket (" + ownerText(info) + "): not connecting");

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return outcome(State::failed, path + " is too long for a socket address");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) return outcome(State::failed, std::string("no socket: ") + std::strerror(errno));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        int code = errno;
        ::close(fd);
        if (code == ECONNREFUSED || code == ENOENT) return outcome(State::absent, path + ": no service listens (" + std::strerror(code) + ")");
        if (code == EAGAIN) return outcome(State::busy, path + ": the service's backlog is full");
        return outcome(State::failed, path + ": " + std::strerror(code));
    }
    int uid = -1, pid = -1;
    if (!peerCredentials(fd, uid, pid) || uid != static_cast<int>(me)) {
        ::close(fd);
        return outcome(State::unsafe, path + ": the process listening runs as uid " + std::to_string(uid) + ", not this user: not connecting");
    }
    return outcome(State::connected, "", fd);
}

}  // namespace vantorix::host
