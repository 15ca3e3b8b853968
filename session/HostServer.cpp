#include "HostServer.h"

#include "protocol/HostSocket.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace vantorix::session {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kReadChunk = 64 * 1024;
// Skipped lines are logged for the first few of a host, then now and then.
bool worthLogging(std::uint64_t count) { return count <= 10 || count % 1000 == 0; }

std::string programOf(int pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "?" : name;
}

}  // namespace

HostServer::HostServer(Platform& platform, int listenFd, Handlers handlers, std::function<std::string()> hello, Limits limits)
    : platform_(platform), listen_(listenFd), uid_(static_cast<int>(::getuid())), handlers_(std::move(handlers)), hello_(std::move(hello)),
      limits_(limits), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

HostServer::~HostServer() {
    stop();
    if (wake_ >= 0) ::close(wake_);
}

void HostServer::addSource(Source* source) { sources_.push_back(source); }

void HostServer::start() { thread_ = std::thread([this] { loop(); }); }

void HostServer::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake();
    if (thread_.joinable()) thread_.join();
    for (auto& [id, connection] : connections_) ::close(connection.fd);
    connections_.clear();
    std::lock_guard lock(mutex_);
    outboxes_.clear();
}

void HostServer::wake() {
    std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
}

void HostServer::send(HostId id, std::string bytes) {
    {
        std::lock_guard lock(mutex_);
        auto found = outboxes_.find(id);
        if (found == outboxes_.end() || found->second.overflow) return;
        Outbox& outbox = found->second;
        if (outbox.bytes.size() + bytes.size() > limits_.backlog) {
            outbox.overflow = true;
            outbox.bytes.clear();
        } else {
            outbox.bytes.append(bytes);
        }
    }
    wake();
}

void HostServer::finish(HostId id) {
    {
        std::lock_guard lock(mutex_);
        auto found = outboxes_.find(id);
        if (found == outboxes_.end()) return;
        found->second.finished = true;
    }
    wake();
}

void HostServer::note(LogLevel level, const std::string& message, const Connection* connection, std::vector<LogField> fields) {
    if (connection != nullptr) {
        fields.insert(fields.begin(), {{"pid", std::to_string(connection->peer.pid)}, {"program", connection->peer.program}});
    }
    platform_.log(level, "Service", message, std::move(fields));
}

void HostServer::loop() {
    std::vector<pollfd> watched;
    std::vector<HostId> order;
    while (true) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
        }
        auto now = Clock::now();
        // The poll's wait: the nearest of the held connections', the accept pause's and the sources' ends; none
        // waits forever.
        std::optional<std::chrono::milliseconds> pollWait;
        auto shorten = [&pollWait](std::chrono::milliseconds wait) { pollWait = pollWait ? std::min(*pollWait, wait) : wait; };
        auto wait = [&](Clock::time_point at) {
            auto rounded = std::chrono::duration_cast<std::chrono::milliseconds>(at - now) + std::chrono::milliseconds(1);
            shorten(std::clamp<std::chrono::milliseconds>(rounded, std::chrono::milliseconds::zero(), std::chrono::minutes(1)));
        };
        watched.clear();
        order.clear();
        watched.push_back({wake_, POLLIN, 0});
        bool accepting = connections_.size() < limits_.hosts && now >= acceptAgainAt_;
        if (!accepting && connections_.size() < limits_.hosts) wait(acceptAgainAt_);
        watched.push_back({accepting ? listen_ : -1, POLLIN, 0});
        for (auto& [id, connection] : connections_) {
            short events = 0;
            bool held = !connection.held.empty();
            if (held) wait(connection.resumeAt);
            if (!held && !connection.quitting) events |= POLLIN;
            if (!connection.out.empty()) events |= POLLOUT;
            watched.push_back({connection.fd, events, 0});
            order.push_back(id);
        }
        for (Source* source : sources_) {
            watched.push_back({source->fd(), source->events(), 0});
            if (std::optional<std::chrono::milliseconds> timeout = source->timeout()) shorten(*timeout);
        }
        if (::poll(watched.data(), watched.size(), pollWait ? static_cast<int>(pollWait->count()) : -1) < 0 && errno != EINTR) {
            std::string cause = std::strerror(errno);
            note(LogLevel::error, "the service's hosts cannot be watched", nullptr, {{"cause", cause}});
            if (handlers_.failed) handlers_.failed("its hosts cannot be watched: " + cause);
            return;
        }
        if (watched[0].revents != 0) {
            std::uint64_t count;
            while (::read(wake_, &count, sizeof count) > 0) {
            }
        }
        if (watched[1].revents != 0) acceptAll();
        for (std::size_t i = 0; i < order.size(); ++i) {
            auto found = connections_.find(order[i]);
            if (found == connections_.end()) continue;
            Connection& connection = found->second;
            short revents = watched[i + 2].revents;
            if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !readFrom(connection)) continue;
            if (!connection.held.empty() && Clock::now() >= connection.resumeAt) runHeld(connection);
        }
        // Lines queued by the service: written as far as each host takes them now.
        for (auto it = connections_.begin(); it != connections_.end();) {
            Connection& connection = (it++)->second;
            takeOutbox(connection);
        }
        for (std::size_t i = 0; i < sources_.size(); ++i) {
            // A source is processed when ready or when its timeout passed; processing it early does no harm.
            sources_[i]->process();
        }
    }
}

void HostServer::acceptAll() {
    while (true) {
        int fd = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                note(LogLevel::warning, "the service cannot take more hosts for now", nullptr, {{"cause", std::strerror(errno)}});
                acceptAgainAt_ = Clock::now() + std::chrono::milliseconds(200);
            }
            return;
        }
        int uid = -1, pid = 0;
        if (!host::peerCredentials(fd, uid, pid) || uid != uid_) {
            // Closed before a byte is written: only this user's processes are hosts.
            note(LogLevel::warning, "refused a connection from another user: only this user's processes may join", nullptr,
                 {{"uid", std::to_string(uid)}, {"pid", std::to_string(pid)}, {"program", pid > 0 ? programOf(pid) : "?"}});
            ::close(fd);
            continue;
        }
        if (connections_.size() >= limits_.hosts) {
            note(LogLevel::warning, "refused a host: the service serves as many as it can", nullptr, {{"pid", std::to_string(pid)}});
            ::close(fd);
            continue;
        }
        HostId id = nextId_++;
        Connection& connection = connections_[id];
        connection.id = id;
        connection.fd = fd;
        connection.peer = {pid, programOf(pid)};
        connection.out.append(hello_());
        {
            std::lock_guard lock(mutex_);
            outboxes_[id];
        }
        note(LogLevel::info, "a host joined", &connection);
        if (handlers_.joined) handlers_.joined(id, connection.peer);
        writeTo(connection);
    }
}

void HostServer::takeOutbox(Connection& connection) {
    bool overflow = false, finished = false;
    {
        std::lock_guard lock(mutex_);
        auto found = outboxes_.find(connection.id);
        if (found == outboxes_.end()) return;
        overflow = found->second.overflow;
        if (connection.out.empty()) {
            connection.out.swap(found->second.bytes);
            finished = found->second.finished && connection.out.empty() && found->second.bytes.empty();
        }
    }
    if (overflow) {
        close(connection.id, "it left more than " + std::to_string(limits_.backlog >> 20) + " MB of lines unread");
        return;
    }
    if (finished) {
        close(connection.id, "it quit");
        return;
    }
    writeTo(connection);
}

bool HostServer::writeTo(Connection& connection) {
    if (int failed = connection.out.writeTo(connection.fd); failed != 0) {
        close(connection.id, std::string("its connection failed: ") + std::strerror(failed));
        return false;
    }
    return true;
}

bool HostServer::readFrom(Connection& connection) {
    char buffer[kReadChunk];
    ssize_t got = ::recv(connection.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
    if (got <= 0) {
        std::string why = got == 0 ? "it closed its connection" : std::string("its connection failed: ") + std::strerror(errno);
        if (!connection.in.empty() && !connection.skipping) why += ", in the middle of a line (dropped)";
        close(connection.id, why);
        return false;
    }
    std::string_view bytes(buffer, static_cast<std::size_t>(got));
    while (!bytes.empty() && !connection.quitting) {
        std::size_t feed = bytes.find('\n');
        std::string_view piece = bytes.substr(0, feed);
        if (!connection.skipping) connection.in.append(piece);
        if (connection.in.size() > limits_.longestCommand) {
            connection.in.clear();
            if (!connection.skipping && worthLogging(++connection.skippedLines)) {
                note(LogLevel::warning, "skipped a host's line longer than the service takes", &connection,
                     {{"limit", std::to_string(limits_.longestCommand)}});
            }
            connection.skipping = true;
        }
        if (feed == std::string_view::npos) break;
        bytes.remove_prefix(feed + 1);
        if (connection.skipping) {
            connection.skipping = false;
            continue;
        }
        takeLine(connection, std::exchange(connection.in, {}));
    }
    return true;
}

void HostServer::takeLine(Connection& connection, std::string line) {
    if (!connection.held.empty()) {
        connection.held.push_back(std::move(line));
        return;
    }
    host::Command command = host::parseCommand(line);
    switch (command.kind) {
    case host::CommandKind::none: return;
    case host::CommandKind::quit:
        connection.quitting = true;
        if (handlers_.command) handlers_.command(connection.id, std::move(command));
        return;
    case host::CommandKind::wait:
        if (std::optional<std::chrono::duration<double>> wait = host::waitDuration(command.argument)) {
            connection.resumeAt = Clock::now() + std::chrono::duration_cast<Clock::duration>(*wait);
            connection.held.emplace_back();  // a blank line: the held lines start after the wait
        } else {
            note(LogLevel::warning, "a host's wait takes a number of seconds", &connection, {{"argument", command.argument.substr(0, 64)}});
        }
        return;
    case host::CommandKind::unknown:
        if (worthLogging(++connection.skippedLines)) {
            note(LogLevel::warning, "skipped a host's line that is no command", &connection, {{"line", line.substr(0, 120)}});
        }
        return;
    default:
        if (handlers_.command) handlers_.command(connection.id, std::move(command));
    }
}

void HostServer::runHeld(Connection& connection) {
    std::deque<std::string> held = std::move(connection.held);
    connection.held.clear();
    held.pop_front();  // the blank line standing for the wait
    while (!held.empty() && connection.held.empty() && !connection.quitting) {
        takeLine(connection, std::move(held.front()));
        held.pop_front();
    }
    for (auto& line : held) connection.held.push_back(std::move(line));  // after another wait
}

void HostServer::close(HostId id, const std::string& why, bool tell) {
    auto found = connections_.find(id);
    if (found == connections_.end()) return;
    Connection connection = std::move(found->second);
    connections_.erase(found);
    {
        std::lock_guard lock(mutex_);
        outboxes_.erase(id);
    }
    ::close(connection.fd);
    note(LogLevel::info, "a host left: " + why, &connection);
    if (tell && handlers_.left) handlers_.left(id, why);
}

}  // namespace vantorix::session
