#include "HostLines.h"

#include "protocol/HostWire.h"
#include "protocol/Utf8.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <unistd.h>

namespace vantorix::finder {
namespace {

using Json = nlohmann::ordered_json;

// "t": the seconds since the router started, to the millisecond.
Json begin(const std::string& call, Duration at) {
    Json line;
    line["t"] = std::round(toSeconds(at) * 1000.0) / 1000.0;
    line["call"] = call;
    return line;
}

std::string text(const std::string& bytes) { return replacingInvalidUtf8(bytes); }

std::string asLine(const Json& line) { return line.dump() + "\n"; }

}  // namespace

std::string boundaryLine(const FinderEvent& event, Duration at) {
    Json line = begin(event.call, at);
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
    return asLine(line);
}

std::string helloLine(Duration at) {
    Json line = begin(std::string(host::kHelloCall), at);
    line["protocol"] = host::kProtocolVersion;
    line["program"] = "vantorix-finder";
    line["version"] = VANTORIX_VERSION;
    line["pid"] = static_cast<int>(::getpid());
    return asLine(line);
}

std::string statusLine(Duration at, const VantorixFinderSync::Backlog& backlog, const std::optional<std::string>& syncFolder,
                       const ServiceSummary* service) {
    Json line = begin("status", at);
    line["waiting"] = backlog.waiting;
    line["queued"] = backlog.queued;
    line["inFlight"] = backlog.inFlight;
    line["retrying"] = backlog.retrying;
    line["syncFolder"] = syncFolder ? Json(text(*syncFolder)) : Json(nullptr);
    if (service != nullptr) {
        Json list = Json::array();
        for (const auto& host : service->hosts) list.push_back({{"pid", host.pid}, {"program", text(host.program)}, {"shownFolders", host.shownFolders}});
        line["hosts"] = list;
        Json folders = Json::array();
        for (const auto& folder : service->folders) folders.push_back(text(folder));
        line["folders"] = folders;
        line["pid"] = static_cast<int>(::getpid());
        line["version"] = VANTORIX_VERSION;
    }
    return asLine(line);
}

}  // namespace vantorix::finder
