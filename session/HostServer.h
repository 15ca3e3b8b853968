// The session service's hosts on its socket. One thread accepts them, reads their commands and writes their
// lines, and never waits on any one host: every descriptor is non-blocking and watched with poll().
//
// A connection is a host only when the process at the other end runs as this user (SO_PEERCRED); any other is
// closed before a byte is written to it, and logged. A host's first line is the hello (protocol/HostWire.h).
// Its commands are read line by line: `wait` holds the host's later commands back for that long, `quit` stops
// the reading and goes to `command` like the others (the service answers with finish() once the host's
// commands before it have run, and the connection ends when its lines are written), blank lines and comments are skipped, an unknown command or a line
// longer than the limit is skipped and logged; the other commands go to `command`. A host that leaves, is
// killed (a partial last line is dropped), or stops reading while its unread lines pass the backlog limit is
// closed, and `left` says why. Other hosts never notice.
//
// Threads: the handlers run on the server's thread; send() may be called from any thread.
#pragma once

#include "LineQueue.h"
#include "platform/Platform.h"
#include "protocol/HostWire.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace vantorix::session {

class HostServer {
public:
    using HostId = std::uint64_t;
    struct Peer {
        int pid = 0;
        std::string program;  // its /proc/PID/comm
    };
    struct Handlers {
        std::function<void(HostId, const Peer&)> joined;
        std::function<void(HostId, host::Command)> command;
        std::function<void(HostId, const std::string& why)> left;
        // The server's thread cannot go on (its wait failed): no host is served any more, and the service must end.
        std::function<void(const std::string& why)> failed;
    };
    struct Limits {
        std::size_t longestCommand = 1u << 20;  // a command line longer than this is skipped
        std::size_t backlog = 32u << 20;        // unread lines beyond which a host is dropped
        std::size_t hosts = 1024;               // connections beyond this are closed at once
    };
    // Something else the server's thread waits on (the session bus connection).
    class Source {
    public:
        virtual ~Source() = default;
        virtual int fd() = 0;
        virtual short events() = 0;   // for poll()
        virtual std::optional<std::chrono::milliseconds> timeout() = 0;  // how soon to process it anyway; nothing: no deadline
        virtual void process() = 0;   // ready, or its timeout passed
    };

    // `listenFd` is a listening, non-blocking UNIX socket; `hello` makes each host's first line.
    HostServer(Platform& platform, int listenFd, Handlers handlers, std::function<std::string()> hello, Limits limits);
    HostServer(const HostServer&) = delete;
    HostServer& operator=(const HostServer&) = delete;
    ~HostServer();  // stop()

    void addSource(Source* source);  // before start()
    void start();
    // Ends the thread and closes every connection, without calling `left`.
    void stop();
    // Queues lines for a host; dropped when the host is gone. Any thread.
    void send(HostId id, std::string bytes);
    // Ends a host's connection once the lines queued for it are written. Any thread.
    void finish(HostId id);

private:
    struct Connection {
        HostId id = 0;
        int fd = -1;
        Peer peer;
        std::string in;           // bytes read, not yet a whole line
        bool skipping = false;    // inside an over-long line
        std::deque<std::string> held;  // lines after a `wait`, held until it ends
        std::chrono::steady_clock::time_point resumeAt{};
        bool quitting = false;    // `quit` read: nothing more is read
        LineQueue out;            // lines being written
        std::uint64_t skippedLines = 0;
    };
    struct Outbox {
        LineQueue bytes;
        bool overflow = false;
        bool finished = false;  // finish() was called
    };

    void loop();
    void wake();
    void acceptAll();
    void takeOutbox(Connection& connection);
    bool readFrom(Connection& connection);  // false: closed
    bool writeTo(Connection& connection);   // false: closed
    void takeLine(Connection& connection, std::string line);
    void runHeld(Connection& connection);
    void close(HostId id, const std::string& why, bool tell = true);
    void note(LogLevel level, const std::string& message, const Connection* connection, std::vector<LogField> fields = {});

    Platform& platform_;
    const int listen_;
    const int uid_;
    Handlers handlers_;
    std::function<std::string()> hello_;
    const Limits limits_;
    std::vector<Source*> sources_;
    int wake_ = -1;
    std::thread thread_;
    bool stopping_ = false;                       // guarded by mutex_
    std::map<HostId, Connection> connections_;    // the server's thread
    HostId nextId_ = 1;                           // the server's thread
    std::chrono::steady_clock::time_point acceptAgainAt_{};  // the server's thread: after running out of descriptors
    std::mutex mutex_;
    std::unordered_map<HostId, Outbox> outboxes_;  // guarded by mutex_: the hosts joined, and what is queued for them
};

}  // namespace vantorix::session
