// From a post to the stand-in's setBadgeIdentifier of the direct update, across processes on the session bus;
// beside it, the bus alone: a signal from one connection to another in this process.
//
// Run on a session bus (dbus-run-session) and where nothing else listens on 127.0.0.1:27835.
#include "FastPeer.h"
#include "TraceProcess.h"
#include "platforms/posix/SessionBusNotificationCenter.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <unistd.h>

using namespace vantorix;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    if (argc != 2 || std::string(argv[1]) == "--help") {
        std::fprintf(argc == 2 ? stdout : stderr,
                     "usage: vantorix-notification-bench PATH-OF-vantorix-finder\n"
                     "Measures a status-change notification from post to the stand-in's setBadgeIdentifier, across processes,\n"
                     "beside the bus alone. Needs a session bus (dbus-run-session) and 127.0.0.1:27835 free.\n");
        return argc == 2 ? 0 : 2;
    }
    namespace fs = std::filesystem;
    fs::path folder = fs::temp_directory_path() / ("vantorix-notify-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    std::string file = (folder / "document.txt").string();
    std::ofstream(file) << "x";
    bench::FastPeer peer(27835, folder.string());

    // The bus alone: post on one connection, receive on another.
    std::vector<double> bus;
    {
        posix::SessionBusNotificationCenter sender, receiver;
        std::mutex mutex;
        std::condition_variable arrived;
        int received = 0;
        receiver.addObserver(&receiver, "VantorixBenchPing", [&](const Notification&) {
            std::lock_guard lock(mutex);
            ++received;
            arrived.notify_all();
        });
        if (!sender.isConnected()) {
            std::fprintf(stderr, "no session bus: run under dbus-run-session\n");
            return 1;
        }
        for (int i = 0; i < 200; ++i) {
            auto posted = Clock::now();
            sender.post("VantorixBenchPing", "", PropertyValue(PropertyValue::Dictionary{}));
            std::unique_lock lock(mutex);
            arrived.wait(lock, [&] { return received == i + 1; });
            bus.push_back(std::chrono::duration<double, std::milli>(Clock::now() - posted).count());
        }
    }

    testing::TraceProcess trace(argv[1]);
    trace.send("show " + folder.string());
    auto hasBadge = [&](const std::string& badge, std::size_t from) {
        return [&, badge, from](const std::vector<nlohmann::json>& lines) {
            for (std::size_t i = from; i < lines.size(); ++i) {
                if (lines[i].value("call", "") == "setBadgeIdentifier" && lines[i].value("path", "") == file && lines[i].value("badge", "") == badge) return true;
            }
            return false;
        };
    };
    if (!trace.waitFor(hasBadge("success", 0), std::chrono::seconds(20))) {
        std::fprintf(stderr, "the file never got its first badge\n");
        return 1;
    }
    posix::SessionBusNotificationCenter poster;
    std::vector<double> direct;
    for (int i = 0; i < 200; ++i) {
        std::string state = i % 2 ? "3" : "5";
        std::string badge = i % 2 ? "error" : "readonly";
        std::size_t from = trace.lines().size();
        auto posted = Clock::now();
        poster.post("VantorixStatusChanged", "",
                    PropertyValue(PropertyValue::Dictionary{{"paths", PropertyValue::Array{}},
                                                            {"sync_state", PropertyValue::Array{PropertyValue(PropertyValue::Dictionary{{"path", file}, {"state", state}})}}}));
        if (!trace.waitFor(hasBadge(badge, from), std::chrono::seconds(5))) {
            std::fprintf(stderr, "no direct update for post %d\n", i);
            return 1;
        }
        direct.push_back(std::chrono::duration<double, std::milli>(Clock::now() - posted).count());
    }
    auto report = [](const char* what, std::vector<double> values) {
        std::sort(values.begin(), values.end());
        std::printf("%s: median %.3f ms, p10 %.3f ms, p90 %.3f ms (%zu samples)\n", what, values[values.size() / 2], values[values.size() / 10],
                    values[values.size() * 9 / 10], values.size());
    };
    report("the bus alone, post to delivery", bus);
    report("post to setBadgeIdentifier of the direct update, across processes", direct);
    trace.send("quit");
    trace.waitForExit(std::chrono::seconds(5));
    fs::remove_all(folder);
    return 0;
}
