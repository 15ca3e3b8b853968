// The extension in a process of its own: `vantorix-finder trace`, spawned by the module and spoken to over its
// standard input (commands) and standard output (one JSON line per call across the file manager boundary).
//
// Everything runs on the main context and never blocks: a process is started by a thread of its own (fork and
// exec can take a while), both ends are non-blocking sockets watched by the main loop, commands wait in a queue until the socket takes them, and complete lines are handed over in slices of at
// most HoldMeter::kSliceMicroseconds from an idle source, so a burst of ten thousand lines never holds the main
// thread. When the process ends (it exits, is killed, or closes its output), the lines it wrote before are still
// delivered, a partial last line is dropped, `ended` is called, and a new process starts after a back-off that
// doubles while processes die young (0.25 s up to 30 s).
#pragma once

#include "HoldMeter.h"
#include "LineBuffer.h"

#include <glib.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace vantorix::nautilus {

class ExtensionProcess {
public:
    struct Handlers {
        std::function<void()> started;                 // a new process runs and takes commands
        std::function<void(const std::string&)> line;  // one line of its output, without the line feed
        std::function<void()> ended;                   // the process is gone; no more lines from it
    };

    ExtensionProcess(std::string program, Handlers handlers, HoldMeter& meter);
    // Ends the process (and waits the few milliseconds a killed process takes to be reaped) and removes every
    // source the object added to the main context.
    ~ExtensionProcess();
    ExtensionProcess(const ExtensionProcess&) = delete;
    ExtensionProcess& operator=(const ExtensionProcess&) = delete;

    // Starts the first process from the main loop (not from the caller's stack).
    void start();
    // Queues one command line (the line feed is added). Dropped while no process runs: `started` is where the
    // caller tells a new process what it needs to know.
    void send(std::string_view command);

    pid_t pid() const { return pid_; }
    unsigned starts() const { return starts_; }
    std::uint64_t droppedLines() const { return lines_.droppedLines(); }

private:
    static gboolean onReadable(gint fd, GIOCondition condition, gpointer self);
    static gboolean onWritable(gint fd, GIOCondition condition, gpointer self);
    static gboolean onPump(gpointer self);
    static gboolean onRestart(gpointer self);
    static gboolean onSpawned(gint fd, GIOCondition condition, gpointer self);
    static void onExit(GPid pid, gint status, gpointer self);

    struct Spawned {
        pid_t pid = 0;  // 0: it could not be started, for `error`
        int input = -1, output = -1;
        std::string error;
    };
    static Spawned startProcess(const std::string& program);  // on the spawning thread
    void spawn();
    void joinSpawner();
    void adopt(Spawned spawned);
    void flush();
    bool readAvailable();  // false once reading should pause or stop
    void schedulePump();
    void closeChannels();
    void finishProcess();
    void scheduleRestart();
    static void removeSource(guint& id);

    std::string program_;
    Handlers handlers_;
    HoldMeter& meter_;
    pid_t pid_ = 0;
    bool outputEnded_ = false;  // its output reached its end (or failed)
    bool finished_ = false;     // every line it wrote was handled and `ended` was called
    bool exited_ = false;       // it was reaped
    int input_ = -1;            // our end of its standard input
    int output_ = -1;           // our end of its standard output
    std::string queued_;
    LineBuffer lines_;
    guint readSource_ = 0, writeSource_ = 0, pumpSource_ = 0, restartSource_ = 0, childSource_ = 0;
    std::thread spawner_;  // starts a process; joined as soon as it reports through spawnDone_
    Spawned spawned_;      // what it started, read once it is joined
    int spawnDone_ = -1;
    guint spawnDoneSource_ = 0;
    gint64 startedAt_ = 0;
    guint backoffMs_ = 250;  // the next restart's delay while processes die young
    unsigned starts_ = 0;
};

}  // namespace vantorix::nautilus
