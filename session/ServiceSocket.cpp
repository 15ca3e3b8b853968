#include "ServiceSocket.h"

#include "protocol/HostWire.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vantorix::session {
namespace {

constexpr const char* kLockName = "finder.lock";
constexpr const char* kSocketName = "finder.sock";

std::string owner(const struct stat& info) {
    char text[64];
    std::snprintf(text, sizeof text, "owner uid %u, mode %03o", static_cast<unsigned>(info.st_uid), static_cast<unsigned>(info.st_mode & 07777));
    return text;
}

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

ServiceSocket::~ServiceSocket() { release(); }

ServiceSocket::Claim ServiceSocket::refuse(std::string why) {
    error_ = std::move(why);
    release();
    return Claim::refused;
}

ServiceSocket::Claim ServiceSocket::claim(const std::string& runtimeDirectory) {
    if (runtimeDirectory.empty() || runtimeDirectory[0] != '/') {
        return refuse("XDG_RUNTIME_DIR is not set to an absolute path: the service needs the user's runtime folder for its socket");
    }
    const uid_t me = ::getuid();
    struct stat info {};
    if (::stat(runtimeDirectory.c_str(), &info) != 0) return refuse(failure("the runtime folder " + runtimeDirectory));
    if (!S_ISDIR(info.st_mode) || info.st_uid != me) return refuse("the runtime folder " + runtimeDirectory + " is not this user's (" + owner(info) + ")");

    std::string folder = host::socketFolder(runtimeDirectory);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return refuse(failure("cannot make " + folder));
    // Opened without following a link, and checked through the open folder, so that what is checked is what is used.
    folder_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder_ < 0) return refuse(failure(folder + " is not a folder"));
    if (::fstat(folder_, &info) != 0) return refuse(failure(folder));
    if (info.st_uid != me) return refuse(folder + " is not this user's (" + owner(info) + "): not using it");
    if ((info.st_mode & 07777) != 0700 && ::fchmod(folder_, 0700) != 0) return refuse(failure("cannot make " + folder + " private"));

    lock_ = ::openat(folder_, kLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lock_ < 0) return refuse(failure("cannot open the lock " + folder + "/" + kLockName));
    if (::fstat(lock_, &info) != 0 || info.st_uid != me || !S_ISREG(info.st_mode)) return refuse(folder + "/" + kLockName + " is not this user's file");
    if (::flock(lock_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) return refuse(failure("cannot lock " + folder + "/" + kLockName));
        ::close(lock_), lock_ = -1;
        ::close(folder_), folder_ = -1;
        return Claim::alreadyRunning;
    }

    // The lock is ours: a socket still there is a dead service's, if it is this user's at all.
    path_ = folder + "/" + kSocketName;
    if (::fstatat(folder_, kSocketName, &info, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISSOCK(info.st_mode) || info.st_uid != me) return refuse(path_ + " exists and is not this user's socket (" + owner(info) + "): not replacing it");
        if (::unlinkat(folder_, kSocketName, 0) != 0) return refuse(failure("cannot remove the stale socket " + path_));
    } else if (errno != ENOENT) {
        return refuse(failure(path_));
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) return refuse(path_ + " is too long for a socket address");
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_ < 0) return refuse(failure("no socket"));
    mode_t mask = ::umask(0177);
    int bound = ::bind(listen_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::umask(mask);
    if (bound != 0) return refuse(failure("cannot bind " + path_));
    if (::listen(listen_, SOMAXCONN) != 0) return refuse(failure("cannot listen on " + path_));
    if (::fstatat(folder_, kSocketName, &info, AT_SYMLINK_NOFOLLOW) != 0) return refuse(failure(path_));
    device_ = info.st_dev;
    inode_ = info.st_ino;
    return Claim::listening;
}

bool ServiceSocket::stillInPlace() const {
    struct stat info {};
    return listen_ >= 0 && ::lstat(path_.c_str(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_;
}

void ServiceSocket::release() {
    if (listen_ >= 0) {
        if (stillInPlace()) ::unlink(path_.c_str());
        ::close(listen_);
        listen_ = -1;
    }
    if (lock_ >= 0) ::close(lock_), lock_ = -1;
    if (folder_ >= 0) ::close(folder_), folder_ = -1;
}

}  // namespace vantorix::session
