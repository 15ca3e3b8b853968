// The session service's place in the user's runtime folder: $XDG_RUNTIME_DIR/vantorix, a folder of this user's
// with mode 0700; a lock file in it, held for the service's life, so that one service runs per user however
// many are started at once; and the listening socket. A folder or socket that exists and is not this user's is
// never followed, reused or replaced: the service refuses to start. A socket left by a dead service (the lock
// is free) is replaced.
#pragma once

#include <sys/types.h>

#include <string>

namespace vantorix::session {

class ServiceSocket {
public:
    enum class Claim { listening, alreadyRunning, refused };

    ServiceSocket() = default;
    ~ServiceSocket();  // release()
    ServiceSocket(const ServiceSocket&) = delete;
    ServiceSocket& operator=(const ServiceSocket&) = delete;

    // Takes the lock and listens on the socket. alreadyRunning: another service holds the lock. refused: the
    // place is unsafe or the socket cannot be made; error() says why.
    Claim claim(const std::string& runtimeDirectory);

    int listeningFd() const { return listen_; }
    const std::string& path() const { return path_; }
    const std::string& error() const { return error_; }
    // Whether the socket path still names the socket this service made (the folder or the socket was not
    // removed or replaced under it).
    bool stillInPlace() const;
    // Stops listening, removes the socket if it is still ours, and lets go of the lock.
    void release();

private:
    Claim refuse(std::string why);

    int folder_ = -1, lock_ = -1, listen_ = -1;
    std::string path_, error_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

}  // namespace vantorix::session
