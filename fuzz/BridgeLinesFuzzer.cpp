// The session service's bytes as a host module reads them inside the file manager: cut into reads of any size
// (the first byte), through the line buffer, each line through readBoundaryCall. However the reads fall, the
// lines delivered are the input's complete lines, in order, and a call read from one carries what its kind needs.
#include "BoundaryCall.h"
#include "FuzzInput.h"
#include "LineBuffer.h"

#include <algorithm>
#include <vector>

using namespace vantorix;
using bridge::BoundaryCall;

namespace {

void checkCall(const std::string& line) {
    std::string problem;
    std::optional<BoundaryCall> call = bridge::readBoundaryCall(line, problem);
    FUZZ_REQUIRE(call.has_value() != !problem.empty());
    if (!call) return;
    FUZZ_REQUIRE(call->json.is_object() && call->json.contains("t") && call->json.contains("call"));
    switch (call->kind) {
    case BoundaryCall::Kind::Hello: FUZZ_REQUIRE(call->json["protocol"].is_number_integer()); break;
    case BoundaryCall::Kind::SetBadgeIdentifier:
    case BoundaryCall::Kind::BeginObserving:
    case BoundaryCall::Kind::EndObserving:
    case BoundaryCall::Kind::RequestBadge: FUZZ_REQUIRE(!call->path.empty() && call->path[0] == '/'); break;
    case BoundaryCall::Kind::SetDirectoryURLs: {
        FUZZ_REQUIRE(call->folders.size() == call->json["urls"].size());
        break;
    }
    default: break;
    }
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
