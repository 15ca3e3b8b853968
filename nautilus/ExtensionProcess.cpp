#include "ExtensionProcess.h"

#include <glib-unix.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <utility>

namespace vantorix::nautilus {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kReadsPerDispatch = 16;
// Output read but not handled yet, beyond which reading pauses until the lines are handled.
constexpr std::size_t kHeldOutputLimit = 4u << 20;
// Commands the process has not taken, beyond which new ones are dropped (a process that stopped reading).
constexpr std::size_t kQueuedInputLimit = 8u << 20;
constexpr guint kFirstBackoffMs = 250;
constexpr guint kLongestBackoffMs = 30000;
// A process that lived this long died of something else than a bad start: the back-off starts over.
constexpr gint64 kSettledLifeUs = 10 * G_USEC_PER_SEC;

}  // namespace

ExtensionProcess::ExtensionProcess(std::string program, Handlers handlers, HoldMeter& meter)
    : program_(std::move(program)), handlers_(std::move(handlers)), meter_(meter) {}

ExtensionProcess::~ExtensionProcess() {
    removeSource(restartSource_);
    removeSource(pumpSource_);
    removeSource(childSource_);
    if (spawner_.joinable()) {
        // A process being started: it is taken over only to be ended with the rest.
        joinSpawner();
        Spawned spawned = std::exchange(spawned_, Spawned{});
        pid_ = spawned.pid;
        exited_ = false;
        if (spawned.input >= 0) ::close(spawned.input);
        if (spawned.output >= 0) ::close(spawned.output);
    }
    closeChannels();
    if (pid_ > 0 && !exited_) {
        // Without its input the process would quit by itself; killed, it is gone at once and reaped here.
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        g_spawn_close_pid(pid_);
    }
}

void ExtensionProcess::removeSource(guint& id) {
    if (id != 0) g_source_remove(id);
    id = 0;
}

void ExtensionProcess::start() {
    if (pid_ == 0 && restartSource_ == 0 && !spawner_.joinable()) restartSource_ = g_idle_add(onRestart, this);
}

gboolean ExtensionProcess::onRestart(gpointer self) {
    auto* process = static_cast<ExtensionProcess*>(self);
    HoldMeter::Scope hold(process->meter_, "extension start");
    process->restartSource_ = 0;
    process->spawn();
    return G_SOURCE_REMOVE;
}

// Starting a process forks GNOME Files and waits until the child runs the program: that is done by a thread of its
// own, which reports through an eventfd and is joined at once.
void ExtensionProcess::spawn() {
    spawnDone_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (spawnDone_ < 0) {
        g_message("vantorix: cannot start the extension process: %s", g_strerror(errno));
        restartSource_ = g_timeout_add(kLongestBackoffMs, onRestart, this);
        return;
    }
    spawnDoneSource_ = g_unix_fd_add(spawnDone_, G_IO_IN, onSpawned, this);
    spawner_ = std::thread([this] {
        spawned_ = startProcess(program_);
        std::uint64_t done = 1;
        (void)!::write(spawnDone_, &done, sizeof done);
    });
}

ExtensionProcess::Spawned ExtensionProcess::startProcess(const std::string& program) {
    Spawned spawned;
    int input[2], output[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0) {
        spawned.error = std::string("no channel: ") + g_strerror(errno);
        return spawned;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, output) != 0) {
        spawned.error = std::string("no channel: ") + g_strerror(errno);
        ::close(input[0]), ::close(input[1]);
        return spawned;
    }
    const gchar* argv[] = {program.c_str(), "trace", nullptr};
    GPid pid = 0;
    GError* error = nullptr;
    gboolean started = g_spawn_async_with_pipes_and_fds("/", argv, nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, input[1], output[1], -1,
                                                        nullptr, nullptr, 0, &pid, nullptr, nullptr, nullptr, &error);
    ::close(input[1]);
    ::close(output[1]);
    if (!started) {
        spawned.error = error->message;
        g_error_free(error);
        ::close(input[0]), ::close(output[0]);
        return spawned;
    }
    spawned.pid = pid;
    spawned.input = input[0];
    spawned.output = output[0];
    return spawned;
}

void ExtensionProcess::joinSpawner() {
    if (spawner_.joinable()) spawner_.join();
    removeSource(spawnDoneSource_);
    if (spawnDone_ >= 0) ::close(spawnDone_);
    spawnDone_ = -1;
}

gboolean ExtensionProcess::onSpawned(gint, GIOCondition, gpointer self) {
    auto* process = static_cast<ExtensionProcess*>(self);
    HoldMeter::Scope hold(process->meter_, "extension started");
    process->spawnDoneSource_ = 0;  // removed by returning G_SOURCE_REMOVE
    process->joinSpawner();
    process->adopt(std::exchange(process->spawned_, Spawned{}));
    return G_SOURCE_REMOVE;
}

void ExtensionProcess::adopt(Spawned spawned) {
    ++starts_;
    startedAt_ = g_get_monotonic_time();
    if (spawned.pid == 0) {
        g_message("vantorix: cannot start the extension process %s: %s", program_.c_str(), spawned.error.c_str());
        guint delay = backoffMs_;
        backoffMs_ = std::min(backoffMs_ * 2, kLongestBackoffMs);
        restartSource_ = g_timeout_add(delay, onRestart, this);
        return;
    }
    g_unix_set_fd_nonblocking(spawned.input, TRUE, nullptr);
    g_unix_set_fd_nonblocking(spawned.output, TRUE, nullptr);
    input_ = spawned.input;
    output_ = spawned.output;
    pid_ = spawned.pid;
    outputEnded_ = finished_ = exited_ = false;
    lines_.clear();
    queued_.clear();
    readSource_ = g_unix_fd_add(output_, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), onReadable, this);
    childSource_ = g_child_watch_add(pid_, onExit, this);
    if (handlers_.started) handlers_.started();
}

void ExtensionProcess::send(std::string_view command) {
    if (input_ < 0) return;
    if (queued_.size() > kQueuedInputLimit) {
        g_message("vantorix: the extension process takes no commands; one dropped");
        return;
    }
    queued_.append(command);
    queued_.push_back('\n');
    // Written when the socket is ready, commands queued meanwhile with it: one write for a burst.
    if (writeSource_ == 0) writeSource_ = g_unix_fd_add(input_, G_IO_OUT, onWritable, this);
}

void ExtensionProcess::flush() {
    std::size_t sent = 0;
    while (sent < queued_.size()) {
        ssize_t written = ::send(input_, queued_.data() + sent, queued_.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written > 0) {
            sent += static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;  // the rest when the socket is ready again
        } else {
            // The process stopped reading for good; its output's end tells the rest.
            queued_.clear();
            return;
        }
    }
    queued_.erase(0, sent);
}

gboolean ExtensionProcess::onWritable(gint, GIOCondition, gpointer self) {
    auto* process = static_cast<ExtensionProcess*>(self);
    HoldMeter::Scope hold(process->meter_, "extension input");
    process->flush();
    if (!process->queued_.empty() && process->input_ >= 0) return G_SOURCE_CONTINUE;
    process->writeSource_ = 0;
    return G_SOURCE_REMOVE;
}

gboolean ExtensionProcess::onReadable(gint, GIOCondition, gpointer self) {
    auto* process = static_cast<ExtensionProcess*>(self);
    HoldMeter::Scope hold(process->meter_, "extension output");
    if (process->readAvailable()) return G_SOURCE_CONTINUE;
    process->readSource_ = 0;
    return G_SOURCE_REMOVE;
}

bool ExtensionProcess::readAvailable() {
    char buffer[kReadChunk];
    for (int reads = 0; reads < kReadsPerDispatch; ++reads) {
        if (lines_.pending() >= kHeldOutputLimit) return false;  // the pump watches again once it caught up
        ssize_t got = ::read(output_, buffer, sizeof buffer);
        if (got > 0) {
            lines_.append(std::string_view(buffer, static_cast<std::size_t>(got)));
            schedulePump();
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        } else {
            outputEnded_ = true;
            schedulePump();
            return false;
        }
    }
    return true;
}

void ExtensionProcess::schedulePump() {
    if (pumpSource_ == 0) pumpSource_ = g_idle_add(onPump, this);
}

gboolean ExtensionProcess::onPump(gpointer self) {
    auto* process = static_cast<ExtensionProcess*>(self);
    HoldMeter::Scope hold(process->meter_, "extension lines");
    gint64 deadline = g_get_monotonic_time() + HoldMeter::kSliceMicroseconds;
    std::string line;
    while (process->lines_.next(line)) {
        try {
            if (process->handlers_.line) process->handlers_.line(line);
        } catch (const std::exception& error) {
            g_message("vantorix: a line from the extension process was not handled: %s", error.what());
        }
        if (g_get_monotonic_time() >= deadline) return G_SOURCE_CONTINUE;
    }
    process->pumpSource_ = 0;
    if (process->outputEnded_) {
        process->finishProcess();
    } else if (process->readSource_ == 0 && process->output_ >= 0) {
        process->readSource_ = g_unix_fd_add(process->output_, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), onReadable, process);
    }
    return G_SOURCE_REMOVE;
}

void ExtensionProcess::closeChannels() {
    removeSource(readSource_);
    removeSource(writeSource_);
    if (input_ >= 0) ::close(input_);
    if (output_ >= 0) ::close(output_);
    input_ = output_ = -1;
    queued_.clear();
}

// Its output ended and every line was handled: the process is over for the module, whether it exited yet or not.
void ExtensionProcess::finishProcess() {
    if (lines_.finish()) g_message("vantorix: the extension process ended in the middle of a line; the partial line is dropped");
    closeChannels();
    finished_ = true;
    if (handlers_.ended) handlers_.ended();
    if (exited_) {
        scheduleRestart();
    } else {
        ::kill(pid_, SIGKILL);  // it closed its output but lives on: of no use any more
    }
}

void ExtensionProcess::onExit(GPid pid, gint status, gpointer self) {
    auto* process = static_cast<ExtensionProcess*>(self);
    HoldMeter::Scope hold(process->meter_, "extension exit");
    process->childSource_ = 0;
    process->exited_ = true;
    g_spawn_close_pid(pid);
    if (WIFSIGNALED(status)) {
        g_message("vantorix: the extension process %d was ended by signal %d", pid, WTERMSIG(status));
    } else {
        g_message("vantorix: the extension process %d exited with status %d", pid, WEXITSTATUS(status));
    }
    if (process->finished_) process->scheduleRestart();
}

void ExtensionProcess::scheduleRestart() {
    bool settled = g_get_monotonic_time() - startedAt_ >= kSettledLifeUs;
    guint delay = settled ? kFirstBackoffMs : backoffMs_;
    backoffMs_ = std::min(delay * 2, kLongestBackoffMs);
    pid_ = 0;
    g_message("vantorix: starting the extension process again in %u ms", delay);
    restartSource_ = g_timeout_add(delay, onRestart, this);
}

}  // namespace vantorix::nautilus
