// Preloaded into a program under test (LD_PRELOAD), it makes one system call fail as the kernel may, so that the
// program's way out of that failure is tested without a switch in the program itself. VANTORIX_FAILING_CALL names
// the call:
//   signalfd  every signalfd() fails with EMFILE;
//   poll      every poll() that watches a listening socket fails with ENOMEM.
#include <dlfcn.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool failing(const char* call) {
    const char* asked = std::getenv("VANTORIX_FAILING_CALL");
    return asked != nullptr && std::strcmp(asked, call) == 0;
}

bool watchesAListener(const pollfd* fds, nfds_t count) {
    for (nfds_t i = 0; i < count; ++i) {
        int listening = 0;
        socklen_t size = sizeof listening;
        if (fds[i].fd >= 0 && ::getsockopt(fds[i].fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0) return true;
    }
    return false;
}

// Fails as the kernel does with `error`.
int failWith(int error) {
    errno = error;
    return -1;
}

}  // namespace

extern "C" int signalfd(int fd, const sigset_t* mask, int flags) {
    static auto real = reinterpret_cast<int (*)(int, const sigset_t*, int)>(dlsym(RTLD_NEXT, "signalfd"));
    return failing("signalfd") ? failWith(EMFILE) : real(fd, mask, flags);
}

extern "C" int poll(pollfd* fds, nfds_t count, int timeout) {
    static auto real = reinterpret_cast<int (*)(pollfd*, nfds_t, int)>(dlsym(RTLD_NEXT, "poll"));
    return failing("poll") && watchesAListener(fds, count) ? failWith(ENOMEM) : real(fds, count, timeout);
}
