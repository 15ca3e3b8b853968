#include "HostLines.h"

#include "FileUrl.h"
#include "HostWire.h"
#include "Paths.h"
#include "Utf8.h"

#include <cmath>

namespace vantorix::host {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::pair<Call, std::string_view> kNames[] = {
    {Call::hello, kHelloCall},
    {Call::setBadgeImage, "setBadgeImage"},
    {Call::setBadgeIdentifier, "setBadgeIdentifier"},
    {Call::setDirectoryURLs, "setDirectoryURLs"},
    {Call::beginObservingDirectory, "beginObservingDirectory"},
    {Call::endObservingDirectory, "endObservingDirectory"},
    {Call::requestBadgeIdentifier, "requestBadgeIdentifier"},
    {Call::status, "status"},
    {Call::refresh, "refresh"},
};

Call callNamed(std::string_view name) {
    for (const auto& [call, known] : kNames) {
        if (name == known) return call;
    }
    return Call::other;
}

Json begin(Call call, std::chrono::nanoseconds at) {
    Json line;
    line["t"] = std::round(std::chrono::duration<double>(at).count() * 1000.0) / 1000.0;
    line["call"] = nameOf(call);
    return line;
}

std::string text(std::string_view bytes) { return replacingInvalidUtf8(bytes); }

std::string asLine(const Json& line) { return line.dump() + "\n"; }

bool stringField(const Json& json, const char* name, std::string& out) {
    auto found = json.find(name);
    if (found == json.end() || !found->is_string()) return false;
    out = found->get<std::string>();
    return true;
}

bool isAbsolute(const std::string& path) { return !path.empty() && path[0] == '/'; }

// A path given as text, named as a URL's path names it: without a trailing slash, so that the same folder or item
// is one path whichever field carried it.
bool pathField(const Json& json, std::string& out) {
    if (!stringField(json, "path", out)) return false;
    out.resize(withoutTrailingSlash(out).size());
    return true;
}

}  // namespace

std::string_view nameOf(Call call) {
    for (const auto& [known, name] : kNames) {
        if (call == known) return name;
    }
    return "other";
}

BoundaryCall pathCall(Call call, std::string path) {
    BoundaryCall made;
    made.call = call;
    made.path = std::move(path);
    return made;
}

BoundaryCall badgeCall(std::string path, std::string badge) {
    BoundaryCall made = pathCall(Call::setBadgeIdentifier, std::move(path));
    made.badge = std::move(badge);
    return made;
}

BoundaryCall imageCall(std::string badge, std::string label, std::string image) {
    BoundaryCall made;
    made.call = Call::setBadgeImage;
    made.badge = std::move(badge);
    made.label = std::move(label);
    made.image = std::move(image);
    return made;
}

BoundaryCall observedCall(std::vector<std::string> folders) {
    BoundaryCall made;
    made.call = Call::setDirectoryURLs;
    made.folders = std::move(folders);
    return made;
}

std::string writeLine(const BoundaryCall& call, std::chrono::nanoseconds at) {
    Json line = begin(call.call, at);
    switch (call.call) {
    case Call::setBadgeImage:
        line["badge"] = text(call.badge);
        line["label"] = text(call.label);
        line["image"] = text(call.image);
        break;
    case Call::setBadgeIdentifier:
        line["badge"] = text(call.badge);
        [[fallthrough]];
    case Call::refresh:
        line["path"] = text(call.path);
        line["url"] = fileUrlOf(call.path);
        break;
    case Call::setDirectoryURLs: {
        Json urls = Json::array();
        for (const auto& folder : call.folders) urls.push_back(fileUrlOf(folder));
        line["urls"] = urls;
        break;
    }
    case Call::hello:
        line["protocol"] = call.protocol;
        break;
    default:
        line["path"] = text(call.path);
        break;
    }
    return asLine(line);
}

std::string writeHello(std::chrono::nanoseconds at, std::string_view version, int pid) {
    Json line = begin(Call::hello, at);
    line["protocol"] = kProtocolVersion;
    line["program"] = "vantorix-finder";
    line["version"] = version;
    line["pid"] = pid;
    return asLine(line);
}

std::string writeStatus(std::chrono::nanoseconds at, const StatusAnswer& status) {
    Json line = begin(Call::status, at);
    line["waiting"] = status.waiting;
    line["queued"] = status.queued;
    line["inFlight"] = status.inFlight;
    line["retrying"] = status.retrying;
    line["syncFolder"] = status.syncFolder ? Json(text(*status.syncFolder)) : Json(nullptr);
    if (status.service) {
        Json hosts = Json::array();
        for (const auto& host : status.service->hosts) hosts.push_back({{"pid", host.pid}, {"program", text(host.program)}, {"shownFolders", host.shownFolders}});
        line["hosts"] = hosts;
        Json folders = Json::array();
        for (const auto& folder : status.service->folders) folders.push_back(text(folder));
        line["folders"] = folders;
        line["pid"] = status.service->pid;
        line["version"] = status.service->version;
    }
    return asLine(line);
}

std::optional<BoundaryCall> readLine(std::string_view line, Json& json, std::string& problem) {
    auto fail = [&problem](std::string why) {
        problem = std::move(why);
        return std::optional<BoundaryCall>();
    };
    json = Json::parse(line, nullptr, false);
    if (json.is_discarded()) return fail("not JSON");
    if (!json.is_object()) return fail("not a JSON object");
    auto t = json.find("t");
    std::string name;
    if (t == json.end() || !t->is_number() || !stringField(json, "call", name)) return fail("no \"t\" or \"call\"");
    BoundaryCall call;
    call.call = callNamed(name);
    switch (call.call) {
    case Call::hello: {
        auto protocol = json.find("protocol");
        if (protocol == json.end() || !protocol->is_number_integer()) return fail("hello without its protocol");
        call.protocol = protocol->get<int>();
        break;
    }
    case Call::setBadgeImage:
        if (!stringField(json, "badge", call.badge)) return fail("setBadgeImage without its badge");
        stringField(json, "label", call.label);
        stringField(json, "image", call.image);
        break;
    case Call::setBadgeIdentifier: {
        std::string url;
        std::optional<std::string> path = stringField(json, "url", url) ? pathOfFileUrl(url) : std::nullopt;
        if (path) call.path = std::move(*path);
        if (!stringField(json, "badge", call.badge) || (call.path.empty() && !pathField(json, call.path)) || !isAbsolute(call.path)) {
            return fail("setBadgeIdentifier without a badge or a file path");
        }
        break;
    }
    case Call::refresh: {
        std::string url;
        std::optional<std::string> path = stringField(json, "url", url) ? pathOfFileUrl(url) : std::nullopt;
        if (!path) return fail("refresh without a file URL");
        call.path = std::move(*path);
        break;
    }
    case Call::setDirectoryURLs: {
        auto urls = json.find("urls");
        if (urls == json.end() || !urls->is_array()) return fail("setDirectoryURLs without its URLs");
        for (const auto& url : *urls) {
            std::optional<std::string> path = url.is_string() ? pathOfFileUrl(url.get<std::string>()) : std::nullopt;
            if (!path) return fail("setDirectoryURLs with a URL that is not a file URL");
            call.folders.push_back(std::move(*path));
        }
        break;
    }
    case Call::beginObservingDirectory:
    case Call::endObservingDirectory:
    case Call::requestBadgeIdentifier:
        if (!pathField(json, call.path) || !isAbsolute(call.path)) return fail(name + " without a path");
        break;
    case Call::status:
    case Call::other:
        break;
    }
    return call;
}

}  // namespace vantorix::host
