#include "ServeMode.h"

#include "ProgramExit.h"
#include "BusName.h"
#include "HostRouter.h"
#include "HostServer.h"
#include "ServiceSocket.h"
#include "ExtensionEntryPoint.h"
#include "platforms/posix/PosixPlatform.h"

#include <signal.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vantorix::session {
namespace {

using namespace std::chrono_literals;

constexpr std::chrono::seconds kDefaultIdleExit{300};
// How often the service checks that its socket is still in place and its program was not replaced.
constexpr Duration kWatchInterval = 1s;

const char* kServeUsage =
    "usage: vantorix-finder serve [--idle-exit SECONDS] [--host-backlog BYTES]\n"
    "\n"
    "Runs the extension for every file manager of this user, on $XDG_RUNTIME_DIR/vantorix/finder.sock. The\n"
    "session bus starts it when a file manager asks for com.vantorix.FinderSync. It ends SECONDS after its last\n"
    "file manager left (default 300, or VANTORIX_IDLE_EXIT; 0: never), when its socket is removed, or when its\n"
    "program is replaced. A file manager that leaves more than BYTES of lines unread (default 32 MiB) is dropped.\n";

// SIGTERM, SIGINT and SIGHUP, taken on the host server's thread.
class Signals final : public HostServer::Source {
public:
    explicit Signals(std::function<void(int)> taken) : taken_(std::move(taken)) {
        sigset_t set = blocked();
        fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
        if (fd_ < 0) error_ = std::strerror(errno);
    }
    ~Signals() override {
        if (fd_ >= 0) ::close(fd_);
    }
    // Blocked in every thread, the process's first act, so that only the descriptor takes them.
    static void block() {
        sigset_t set = blocked();
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }
    // Why the descriptor could not be made ("" when it was): the signals stay blocked, so nothing would end the
    // service.
    const std::string& error() const { return error_; }
    int fd() override { return fd_; }
    short events() override { return POLLIN; }
    std::optional<std::chrono::milliseconds> timeout() override { return std::nullopt; }
    void process() override {
        signalfd_siginfo info{};
        while (fd_ >= 0 && ::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) taken_(static_cast<int>(info.ssi_signo));
    }

private:
    static sigset_t blocked() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGHUP);
        return set;
    }
    std::function<void(int)> taken_;
    int fd_ = -1;
    std::string error_;
};

// A whole number from MIN to MAX, as the text holds it, all of it.
bool readNumber(const char* text, long long min, long long max, long long& value) {
    if (text == nullptr) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text, &end, 10);
    return end != text && *end == '\0' && errno == 0 && value >= min && value <= max;
}

// The program file this process runs, to notice it being replaced.
struct ProgramFile {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;

    static ProgramFile ofThisProcess() {
        ProgramFile file;
        char buffer[PATH_MAX];
        ssize_t size = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        if (size <= 0) return file;
        file.path.assign(buffer, static_cast<std::size_t>(size));
        struct stat info {};
        if (::stat(file.path.c_str(), &info) != 0) return {};
        file.device = info.st_dev;
        file.inode = info.st_ino;
        return file;
    }
    bool replaced() const {
        struct stat info {};
        return !path.empty() && (::stat(path.c_str(), &info) != 0 || info.st_dev != device || info.st_ino != inode);
    }
};

}  // namespace

int runServe(int argc, char** argv) {
    Signals::block();
    // VANTORIX_IDLE_EXIT gives the default, for a bus that starts the service with no option (tests).
    std::chrono::seconds idleExit = kDefaultIdleExit;
    if (const char* idleFromEnvironment = std::getenv("VANTORIX_IDLE_EXIT")) {
        long long value = 0;
        if (!readNumber(idleFromEnvironment, 0, INT_MAX, value)) {
            std::fprintf(stderr, "vantorix-finder serve: VANTORIX_IDLE_EXIT takes a number of seconds (0 or more), not \"%s\"\n", idleFromEnvironment);
            return 2;
        }
        idleExit = std::chrono::seconds(value);
    }
    HostServer::Limits limits;
    for (int i = 2; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kServeUsage, stdout);
            return 0;
        }
        long long value = 0;
        const char* text = i + 1 < argc ? argv[i + 1] : nullptr;
        if (option == "--idle-exit" && readNumber(text, 0, INT_MAX, value)) {
            idleExit = std::chrono::seconds(value);
        } else if (option == "--host-backlog" && readNumber(text, 1, LLONG_MAX, value)) {
            limits.backlog = static_cast<std::size_t>(value);
        } else {
            if (option == "--idle-exit") std::fputs("vantorix-finder serve: --idle-exit takes a number of seconds (0 or more)\n", stderr);
            else if (option == "--host-backlog") std::fputs("vantorix-finder serve: --host-backlog takes a number of bytes (1 or more)\n", stderr);
            else std::fprintf(stderr, "vantorix-finder serve: unknown option \"%s\"\n", option.c_str());
            std::fputs(kServeUsage, stderr);
            return 2;
        }
        ++i;
    }

    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    ServiceSocket socket;
    switch (socket.claim(runtime != nullptr ? runtime : "")) {
    case ServiceSocket::Claim::listening: break;
    case ServiceSocket::Claim::alreadyRunning:
        std::fprintf(stderr, "vantorix-finder serve: a service already runs for this user\n");
        return 0;
    case ServiceSocket::Claim::refused:
        std::fprintf(stderr, "vantorix-finder serve: %s\n", socket.error().c_str());
        Platform::processPlatform().log(LogLevel::error, "Service", "the service cannot start", {{"cause", socket.error()}});
        return 1;
    }

    auto& platform = posix::PosixPlatform::process();
    HostServer* server = nullptr;
    HostRouter router(platform, [&server](HostRouter::HostId id, std::string lines) { server->send(id, std::move(lines)); });
    platform.setFinderSyncController(&router.model());
    std::string error;
    std::shared_ptr<FinderSyncExtension> extension = extensionMain(platform, platform.resourceDirectory() + "/Info.plist", error);
    if (!extension) {
        std::fprintf(stderr, "vantorix-finder serve: %s\n", error.c_str());
        return 1;
    }
    router.attach(extension);

    // Main thread: how many hosts are joined, and the timer that ends the service when none has been for a while.
    std::size_t joined = 0;
    std::shared_ptr<Timer> idleTimer;
    std::string endReason;
    int endStatus = 0;
    auto end = [&platform, &endReason, &endStatus](std::string reason, int status = 0) {
        if (endReason.empty()) endReason = std::move(reason), endStatus = status;
        platform.stopMainLoop();
    };
    auto armIdleExit = [&] {
        if (idleExit == std::chrono::seconds::zero()) return;
        idleTimer = platform.scheduleTimer(idleExit, false, [&end, idleExit](Timer&) {
            end("no file manager joined for " + std::to_string(idleExit.count()) + " s");
        });
    };

    HostServer::Handlers handlers;
    handlers.joined = [&](HostServer::HostId id, const HostServer::Peer& peer) {
        platform.mainQueue().async([&, id, peer] {
            router.join(id, false, {peer.pid, peer.program, 0});
            if (++joined == 1 && idleTimer) idleTimer->invalidate(), idleTimer.reset();
        });
    };
    handlers.command = [&](HostServer::HostId id, host::Command command) {
        platform.mainQueue().async([&, id, command = std::move(command)] {
            std::string problem = router.run(id, command);
            if (!problem.empty()) platform.log(LogLevel::warning, "Service", "a host's command was not run", {{"cause", problem}});
            if (command.kind == host::CommandKind::quit) {
                // Its commands before the quit have run: their lines go out, then the connection ends.
                router.flush();
                server->finish(id);
            }
        });
    };
    handlers.left = [&](HostServer::HostId id, const std::string&) {
        platform.mainQueue().async([&, id] {
            router.leave(id);
            if (--joined == 0) armIdleExit();
        });
    };
    // A server that can no longer wait on its hosts serves no one: the service ends, and the bus starts another.
    handlers.failed = [&](const std::string& why) { platform.mainQueue().async([&end, why] { end(why, 1); }); };
    HostServer hosts(platform, socket.listeningFd(), std::move(handlers), [&router] { return host::writeHello(router.now(), VANTORIX_VERSION, static_cast<int>(::getpid())); }, limits);
    server = &hosts;
    Signals signals([&platform, &end](int number) {
        platform.mainQueue().async([&end, number] { end(std::string("signal ") + strsignal(number)); });
    });
    if (!signals.error().empty()) {
        // Without its descriptor nothing could end the service; it ends now, before it takes a host.
        std::fprintf(stderr, "vantorix-finder serve: the service cannot take its signals: %s\n", signals.error().c_str());
        platform.log(LogLevel::error, "Service", "the service cannot start", {{"cause", "no signal descriptor: " + signals.error()}});
        socket.release();
        endProgram(1);
    }
    hosts.addSource(&signals);
    BusName name;
    if (name.own(host::kServiceBusName, error)) {
        hosts.addSource(&name);
    } else {
        platform.log(LogLevel::notice, "Service", "the service cannot be started on demand", {{"cause", error}});
    }
    hosts.start();
    platform.log(LogLevel::info, "Service", "the service started", {{"socket", socket.path()}, {"version", VANTORIX_VERSION},
                                                                    {"idle_exit", std::to_string(idleExit.count())}});

    armIdleExit();
    ProgramFile program = ProgramFile::ofThisProcess();
    auto watch = platform.scheduleTimer(kWatchInterval, true, [&](Timer&) {
        if (!socket.stillInPlace()) end("its socket " + socket.path() + " was removed or replaced");
        else if (program.replaced()) end("its program " + program.path + " was replaced (an upgrade)");
    });
    platform.runMainLoop();

    platform.log(endStatus == 0 ? LogLevel::info : LogLevel::error, "Service", "the service ends: " + endReason);
    watch->invalidate();
    hosts.stop();
    socket.release();
    endProgram(endStatus);
}

}  // namespace vantorix::session
