#include "TraceMode.h"

#include "FinderStandIn.h"
#include "VantorixFinderSync.h"
#include "JsonUserInfo.h"
#include "core/ExtensionEntryPoint.h"
#include "platform/posix/PosixPlatform.h"
#include "protocol/Utf8.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

namespace vantorix::finder {
namespace {

using Json = nlohmann::ordered_json;

// Writes one event as one JSON line. Bytes that are not UTF-8 become U+FFFD. Lines are written out at once: the
// first line of a burst asks the main queue for a flush, which runs as soon as the block that made the burst ends,
// so a repaint of a thousand items costs one write instead of a thousand; a burst past 64 KB is written out as it
// goes, so that a folder of 50,000 items does not gather megabytes of lines.
class TraceWriter {
public:
    explicit TraceWriter(Platform& platform) : platform_(platform), start_(platform.monotonicNow()) {}
    ~TraceWriter() { flush(); }

    void flush() {
        std::string out;
        {
            std::lock_guard lock(mutex_);
            out.swap(pending_);
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
        std::fflush(stdout);
    }

    void write(const FinderEvent& event) {
        Json line = begin(event.call);
        if (event.call == "setBadgeImage") {
            line["badge"] = text(event.badge);
            line["label"] = text(event.label);
            line["image"] = text(event.image);
        } else if (event.call == "setBadgeIdentifier") {
            line["badge"] = text(event.badge);
            line["path"] = text(event.path);
            line["url"] = text(event.url);
        } else if (event.call == "setDirectoryURLs") {
            Json urls = Json::array();
            for (const auto& url : event.urls) urls.push_back(text(url));
            line["urls"] = urls;
        } else {
            line["path"] = text(event.path);
        }
        end(line);
    }

    // Not a call across the boundary: the extension's backlog, written when the `status` command asks.
    void writeStatus(const VantorixFinderSync::Backlog& backlog) {
        Json line = begin("status");
        line["waiting"] = backlog.waiting;
        line["queued"] = backlog.queued;
        line["inFlight"] = backlog.inFlight;
        line["retrying"] = backlog.retrying;
        end(line);
    }

private:
    Json begin(const std::string& call) const {
        Json line;
        line["t"] = std::round(toSeconds(platform_.monotonicNow() - start_) * 1000.0) / 1000.0;
        line["call"] = call;
        return line;
    }
    void end(const Json& line) {
        bool first, full;
        {
            std::lock_guard lock(mutex_);  // lines from two threads never mix
            first = pending_.empty();
            pending_ += line.dump() + "\n";
            full = pending_.size() >= 64 * 1024;
        }
        if (full) flush();
        else if (first) platform_.mainQueue().async([this] { flush(); });
    }
    static std::string text(const std::string& bytes) { return replacingInvalidUtf8(bytes); }
    Platform& platform_;
    MonotonicTime start_;
    std::mutex mutex_;
    std::string pending_;  // guarded by mutex_
};

// Splits "word rest" at the first space.
std::pair<std::string, std::string> splitCommand(const std::string& line) {
    std::size_t space = line.find(' ');
    if (space == std::string::npos) return {line, ""};
    return {line.substr(0, space), line.substr(space + 1)};
}

}  // namespace

int runTrace() {
    auto& platform = static_cast<posix::PosixPlatform&>(Platform::processPlatform());
    TraceWriter writer(platform);
    FinderStandIn standIn(platform, [&writer](const FinderEvent& event) { writer.write(event); });
    platform.setFinderSyncController(&standIn);

    // As the extension entry point does: the bundle's property list names the principal class.
    std::string error;
    std::shared_ptr<FinderSyncExtension> extension = extensionMain(platform, platform.resourceDirectory() + "/Info.plist", error);
    if (!extension) {
        std::fprintf(stderr, "vantorix-finder: %s\n", error.c_str());
        return 1;
    }
    standIn.attach(extension);

    // Standard input is read on its own thread so that the main run loop keeps running; every command runs on
    // the main thread, in order.
    std::thread reader([&platform, &standIn, &writer, extension] {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            auto [command, argument] = splitCommand(line);
            if (command.empty() || command[0] == '#') continue;
            if (command == "quit") break;
            if (command == "wait") {
                char* end = nullptr;
                double seconds = std::strtod(argument.c_str(), &end);
                if (argument.empty() || *end != '\0' || !(seconds >= 0) || seconds > 86400) {
                    std::fprintf(stderr, "vantorix-finder: wait takes a number of seconds, not \"%s\"\n", argument.c_str());
                    continue;
                }
                std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            } else if (command == "show" || command == "hide" || command == "request") {
                if (argument.empty()) {
                    std::fprintf(stderr, "vantorix-finder: %s takes a path\n", command.c_str());
                    continue;
                }
                platform.mainQueue().async([&standIn, command, argument] {
                    if (command == "show") standIn.show(argument);
                    else if (command == "hide") standIn.hide(argument);
                    else standIn.request(absolutePath(argument));
                });
            } else if (command == "status") {
                platform.mainQueue().async([&writer, extension] {
                    if (auto* sync = dynamic_cast<VantorixFinderSync*>(extension.get())) writer.writeStatus(sync->backlog());
                });
            } else if (command == "post") {
                auto [name, json] = splitCommand(argument);
                std::string parseError;
                std::optional<PropertyValue> userInfo = json.empty() ? std::nullopt : userInfoFromJson(json, parseError);
                if (name.empty() || (!json.empty() && !userInfo)) {
                    std::fprintf(stderr, "vantorix-finder: post takes a name and a JSON user-info (%s)\n", parseError.c_str());
                    continue;
                }
                platform.mainQueue().async([&platform, name, userInfo] { platform.distributedNotificationCenter().post(name, "", userInfo); });
            } else {
                std::fprintf(stderr, "vantorix-finder: unknown command \"%s\" (show, hide, request, post, status, wait, quit)\n", command.c_str());
            }
        }
        platform.mainQueue().async([&platform] { platform.stopMainLoop(); });
    });
    platform.runMainLoop();
    reader.join();
    writer.flush();
    // The extension's background work may still be waiting on the network; the process ends without waiting.
    std::_Exit(0);
}

}  // namespace vantorix::finder
