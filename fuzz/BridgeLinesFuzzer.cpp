// The session service's bytes as a host module reads them inside the file manager: cut into reads of any size
// (the first byte), through the line buffer, each line through the host-line reader. However the reads fall, the
// lines delivered are the input's complete lines, in order; a call read from one carries what it needs, and
// written again it reads back as the same call (each path carried without loss).
#include "FuzzInput.h"
#include "LineBuffer.h"
#include "protocol/HostLines.h"

#include <algorithm>
#include <tuple>
#include <vector>

using namespace vantorix;
using host::Call;

namespace {

auto fieldsOf(const host::BoundaryCall& c) { return std::tie(c.call, c.badge, c.label, c.image, c.path, c.folders, c.protocol); }

void checkCall(const std::string& line) {
    std::string problem;
    nlohmann::ordered_json json;
    std::optional<host::BoundaryCall> call = host::readLine(line, json, problem);
    FUZZ_REQUIRE(call.has_value() != !problem.empty());
    if (!call) return;
    FUZZ_REQUIRE(json.is_object() && json.contains("t") && json.contains("call"));
    switch (call->call) {
    case Call::hello: FUZZ_REQUIRE(json["protocol"].is_number_integer()); break;
    case Call::setBadgeIdentifier:
    case Call::beginObservingDirectory:
    case Call::endObservingDirectory:
    case Call::requestBadgeIdentifier: FUZZ_REQUIRE(!call->path.empty() && call->path[0] == '/'); break;
    case Call::setDirectoryURLs: FUZZ_REQUIRE(call->folders.size() == json["urls"].size()); break;
    default: break;
    }
    if (call->call == Call::status || call->call == Call::other) return;
    nlohmann::ordered_json again;
    std::optional<host::BoundaryCall> reread = host::readLine(host::writeLine(*call, std::chrono::milliseconds(1500)), again, problem);
    FUZZ_REQUIRE(reread && fieldsOf(*call) == fieldsOf(*reread));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    std::size_t readSize = input.byte() % 64 + 1;
    std::string_view stream = input.rest();

    // What the lines must be: the complete lines up to the longest, in order.
    std::vector<std::string_view> expected;
    std::size_t start = 0;
    for (std::size_t feed; (feed = stream.find('\n', start)) != std::string_view::npos; start = feed + 1) {
        if (feed - start <= bridge::LineBuffer::kLongestLine) expected.push_back(stream.substr(start, feed - start));
    }

    bridge::LineBuffer buffer;
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < stream.size(); at += readSize) {
        buffer.append(stream.substr(at, readSize));
        for (std::string line; buffer.next(line);) {
            FUZZ_REQUIRE(line.find('\n') == std::string::npos);
            checkCall(line);
            lines.push_back(std::move(line));
        }
    }
    bool partial = buffer.finish();
    FUZZ_REQUIRE(partial == (start < stream.size() && stream.size() - start <= bridge::LineBuffer::kLongestLine));
    FUZZ_REQUIRE(std::equal(lines.begin(), lines.end(), expected.begin(), expected.end()));
    FUZZ_REQUIRE(buffer.pending() == 0);
    return 0;
}
