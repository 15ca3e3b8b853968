// vantorix-localservice: the desktop client's side of the extension's protocol, for the demo and for tests.
#include "LocalService.h"
#include "ProtocolServer.h"
#include "RequestStats.h"
#include "platforms/posix/SessionBusNotificationCenter.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char* kUsage =
    "usage: vantorix-localservice --root DIR [--status-file FILE] [--simulate] [--seed N] [--faults FILE] [--stats-file FILE]\n"
    "                             [--no-notifications] [--changes-file FILE]\n"
    "\n"
    "Answers the sync extension on 127.0.0.1:27835, one request line per connection:\n"
    "  PING                    PONG\n"
    "  GET_SYNC_PATH           the sync folder (--root, made absolute)\n"
    "  BATCH_STATUS:P1|P2|...  one status code per non-empty path, in order, joined by \"|\"\n"
    "  anything else           a line starting with \"ERROR:\"\n"
    "\n"
    "  --root DIR          the sync folder\n"
    "  --status-file FILE  lines \"CODE GLOB\" (the last match wins), re-read when it changes. CODE is 0 synced,\n"
    "                      1 or 2 syncing, 3 error, 4 excluded, 5 read-only, 6 company, 7 shared. GLOB matches the\n"
    "                      path relative to the root (\"Shared/*\", \"*.tmp\"), or the absolute path when it starts\n"
    "                      with \"/\". Paths no line matches are synced.\n"
    "  --simulate          simulated sync activity: synced files turn syncing for a few seconds, now and then one\n"
    "                      shows an error that clears\n"
    "  --seed N            the simulation's random seed (default: from the clock)\n"
    "  --faults FILE       misbehave on purpose, for soak tests: FILE holds one word, re-read four times a second:\n"
    "                      none, refuse (connections refused), stall (requests never answered), garbage,\n"
    "                      late (answers 2 to 5 s late) or close (closed without an answer). A missing file\n"
    "                      is none. When a fault ends, the connections still misbehaving are closed\n"
    "  --stats-file FILE   counts of the requests answered, for benchmarks: FILE is replaced, a few times a\n"
    "                      second while they change, by one JSON line with the counts of each kind (ping,\n"
    "                      sync_path, batch_status, other), the paths the batch requests carried (batch_paths),\n"
    "                      the bursts of batch requests begun (bursts; a burst ends after 0.5 s without one),\n"
    "                      those completed (completed_bursts) and the sizes of the latest 64 (burst_sizes)\n"
    "  --no-notifications  changes of status are not posted: the extension finds them only by asking again\n"
    "  --changes-file FILE every change of a status, for benchmarks: appended as a line \"SECONDS CODE PATH\",\n"
    "                      SECONDS on the monotonic clock (CLOCK_MONOTONIC, as the host modules' traces give it)\n"
    "\n"
    "Every change of a status is posted on the session bus as a VantorixStatusChanged notification, unless\n"
    "--no-notifications is given.\n"
    "SIGINT or SIGTERM ends it cleanly.\n";

int stopPipe[2] = {-1, -1};

void onSignal(int) {
    char byte = 1;
    (void)!::write(stopPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
    std::string root, statusFile, statsFile, faultsFile, changesFile;
    bool simulate = false, notify = true;
    unsigned seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vantorix-localservice: %s needs a value\n%s", option.c_str(), kUsage);
                std::exit(2);
            }
            return argv[++i];
        };
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (option == "--root") {
            root = value();
        } else if (option == "--status-file") {
            statusFile = value();
        } else if (option == "--stats-file") {
            statsFile = value();
        } else if (option == "--no-notifications") {
            notify = false;
        } else if (option == "--changes-file") {
            changesFile = value();
        } else if (option == "--simulate") {
            simulate = true;
        } else if (option == "--seed") {
            std::string text = value();
            char* end = nullptr;
            seed = static_cast<unsigned>(std::strtoul(text.c_str(), &end, 10));
            if (text.empty() || *end != '\0') {
                std::fprintf(stderr, "vantorix-localservice: --seed takes a number, not \"%s\"\n", text.c_str());
                return 2;
            }
        } else if (option == "--faults") {
            faultsFile = value();
        } else {
            std::fprintf(stderr, "vantorix-localservice: unknown option \"%s\"\n%s", option.c_str(), kUsage);
            return 2;
        }
    }
    if (root.empty()) {
        std::fprintf(stderr, "vantorix-localservice: --root DIR is required\n%s", kUsage);
        return 2;
    }
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(root, error);
    if (error || !std::filesystem::is_directory(absolute, error)) {
        std::fprintf(stderr, "vantorix-localservice: %s is not a folder\n", root.c_str());
        return 2;
    }
    root = absolute.lexically_normal().string();
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (!statusFile.empty()) statusFile = std::filesystem::absolute(statusFile, error).string();

    std::FILE* changes = nullptr;
    if (!changesFile.empty()) {
        changes = std::fopen(changesFile.c_str(), "ae");
        if (changes == nullptr) {
            std::fprintf(stderr, "vantorix-localservice: cannot open %s: %s\n", changesFile.c_str(), std::strerror(errno));
            return 2;
        }
    }

    if (::pipe2(stopPipe, O_CLOEXEC) != 0) return 1;
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    vantorix::localservice::ProtocolServer server;
    std::string problem;
    if (!server.listen("127.0.0.1", 27835, problem)) {
        std::fprintf(stderr, "vantorix-localservice: %s\n", problem.c_str());
        return 1;
    }
    vantorix::posix::SessionBusNotificationCenter notifications;
    vantorix::localservice::LocalService service(vantorix::localservice::StatusRules(root, statusFile), simulate, seed,
                                                 notify ? &notifications : nullptr);
    if (changes != nullptr) {
        service.onChange([changes](const std::string& path, const std::string& code) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            std::fprintf(changes, "%lld.%06ld %s %s\n", static_cast<long long>(now.tv_sec), now.tv_nsec / 1000, code.c_str(), path.c_str());
        });
    }
    std::fprintf(stderr, "vantorix-localservice: serving %s on 127.0.0.1:27835%s\n", root.c_str(), simulate ? " with simulated activity" : "");
    vantorix::localservice::RequestStats stats;
    auto answer = [&](const std::string& line) {
        if (!statsFile.empty()) stats.count(line, std::chrono::steady_clock::now());
        return service.answer(line);
    };
    std::string faultWord = "none";
    auto tick = [&] {
        auto now = std::chrono::steady_clock::now();
        service.tick(now);
        if (changes != nullptr) std::fflush(changes);
        if (!faultsFile.empty()) {
            std::string word = "none";
            std::ifstream(faultsFile) >> word;
            if (word != faultWord) {
                auto fault = vantorix::localservice::faultNamed(word);
                std::fprintf(stderr, fault ? "vantorix-localservice: fault now %s\n" : "vantorix-localservice: no fault is called \"%s\"\n", word.c_str());
                if (fault) server.setFault(*fault);
                faultWord = word;
            }
        }
        if (!statsFile.empty() && !stats.writeIfChanged(statsFile, now)) {
            std::fprintf(stderr, "vantorix-localservice: cannot write %s\n", statsFile.c_str());
            statsFile.clear();
        }
    };
    server.serve(answer, tick, std::chrono::milliseconds(250), stopPipe[0]);
    if (changes != nullptr) std::fclose(changes);
    std::fprintf(stderr, "vantorix-localservice: stopped\n");
    return 0;
}
