#include "BoundaryCall.h"

#include "protocol/HostWire.h"

namespace vantorix::bridge {
namespace {

using host::pathOfFileUrl;

using Kind = BoundaryCall::Kind;

bool stringField(const nlohmann::ordered_json& json, const char* name, std::string& out) {
    auto found = json.find(name);
    if (found == json.end() || !found->is_string()) return false;
    out = found->get<std::string>();
    return true;
}

Kind kindOf(const std::string& call) {
    if (call == host::kHelloCall) return Kind::Hello;
    if (call == "setBadgeImage") return Kind::SetBadgeImage;
    if (call == "setBadgeIdentifier") return Kind::SetBadgeIdentifier;
    if (call == "setDirectoryURLs") return Kind::SetDirectoryURLs;
    if (call == "beginObservingDirectory") return Kind::BeginObserving;
    if (call == "endObservingDirectory") return Kind::EndObserving;
    if (call == "requestBadgeIdentifier") return Kind::RequestBadge;
    return Kind::Other;
}

}  // namespace

std::optional<BoundaryCall> readBoundaryCall(std::string_view line, std::string& problem) {
    auto fail = [&problem](std::string why) {
        problem = std::move(why);
        return std::optional<BoundaryCall>();
    };
    BoundaryCall call;
    call.json = nlohmann::ordered_json::parse(line, nullptr, false);
    if (call.json.is_discarded()) return fail("not JSON");
    if (!call.json.is_object()) return fail("not a JSON object");
    auto t = call.json.find("t");
    std::string name;
    if (t == call.json.end() || !t->is_number() || !stringField(call.json, "call", name)) return fail("no \"t\" or \"call\"");
    call.kind = kindOf(name);
    switch (call.kind) {
    case Kind::Hello: {
        auto protocol = call.json.find("protocol");
        if (protocol == call.json.end() || !protocol->is_number_integer()) return fail("hello without its protocol");
        call.protocol = protocol->get<int>();
        break;
    }
    case Kind::SetBadgeImage:
        if (!stringField(call.json, "badge", call.badge)) return fail("setBadgeImage without its badge");
        break;
    case Kind::SetBadgeIdentifier: {
        std::string url;
        std::optional<std::string> path = stringField(call.json, "url", url) ? pathOfFileUrl(url) : std::nullopt;
        if (path) call.path = *path;
        if (!stringField(call.json, "badge", call.badge) || (!path && !stringField(call.json, "path", call.path)) || call.path.empty() ||
            call.path[0] != '/') {
            return fail("setBadgeIdentifier without a badge or a file path");
        }
        break;
    }
    case Kind::SetDirectoryURLs: {
        auto urls = call.json.find("urls");
        if (urls == call.json.end() || !urls->is_array()) return fail("setDirectoryURLs without its URLs");
        for (const auto& url : *urls) {
            std::optional<std::string> path = url.is_string() ? pathOfFileUrl(url.get<std::string>()) : std::nullopt;
            if (!path) return fail("setDirectoryURLs with a URL that is not a file URL");
            call.folders.push_back(*path);
        }
        break;
    }
    case Kind::BeginObserving:
    case Kind::EndObserving:
    case Kind::RequestBadge:
        if (!stringField(call.json, "path", call.path) || call.path.empty() || call.path[0] != '/') {
            return fail(name + " without a path");
        }
        break;
    case Kind::Other:
        break;
    }
    return call;
}

}  // namespace vantorix::bridge
