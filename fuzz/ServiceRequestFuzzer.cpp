// The reference local service's side of a connection on any bytes: the request line assembled from the pieces
// the socket hands over, and the answer to it, which must fit the client's single read of its kind.
// Input: the sync folder path, a NUL, a byte for the longest line (0: the server's own limit), two bytes for the
// sizes of the pieces, then the bytes the peer sends.
#include "FuzzInput.h"
#include "LocalService.h"
#include "ProtocolServer.h"
#include "RequestLineReader.h"
#include "protocol/Utf8.h"
#include "protocol/Wire.h"

#include <algorithm>
#include <optional>

using namespace vantorix;
using namespace vantorix::localservice;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    std::string root(input.upTo('\0'));
    std::uint8_t limitByte = input.byte();
    std::size_t maximumLine = limitByte == 0 ? ProtocolServer::kMaximumLine : limitByte * std::size_t{64};
    std::size_t pieceSizes[2] = {1u + input.byte(), 1u + input.byte() * 64u};
    std::string_view sent = input.rest();

    // The line, from the pieces as they come, against the same rule applied to all that came so far.
    RequestLineReader reader(maximumLine);
    RequestLineReader::State state = RequestLineReader::State::incomplete;
    std::size_t taken = 0;
    const std::size_t newline = sent.find('\n');
    for (int k = 0; taken < sent.size() && state == RequestLineReader::State::incomplete; k ^= 1) {
        std::size_t before = taken;
        taken = std::min(sent.size(), taken + pieceSizes[k]);
        state = reader.take(sent.substr(before, taken - before));
        if (newline < taken) FUZZ_REQUIRE(state == RequestLineReader::State::line);
        else FUZZ_REQUIRE(state == (taken > maximumLine ? RequestLineReader::State::tooLong : RequestLineReader::State::incomplete));
    }
    std::string line;
    if (state == RequestLineReader::State::line) {
        line = reader.takeLine();
        std::string_view expected = sent.substr(0, newline);
        if (!expected.empty() && expected.back() == '\r') expected.remove_suffix(1);
        FUZZ_REQUIRE(line == expected);
    } else if (state == RequestLineReader::State::incomplete) {
        std::optional<std::string> rest = reader.end();  // the peer closes
        FUZZ_REQUIRE(rest ? *rest == sent : sent.empty());
        if (!rest) return 0;
        line = *rest;
    } else {
        FUZZ_REQUIRE(kRequestTooLongAnswer.size() <= kPingAnswerLimit);
        return 0;
    }

    // The answer: one line that the client's single read takes whole, as UTF-8.
    LocalService service(StatusRules(root, ""), false, 1, nullptr);
    std::string answer = service.answer(line);
    ParsedRequest request = parseRequestLine(line);
    std::size_t limit = request.kind == RequestKind::syncPath ? kSyncPathAnswerLimit : request.kind == RequestKind::batchStatus ? kBatchAnswerLimit : kPingAnswerLimit;
    FUZZ_REQUIRE(!answer.empty() && answer.size() <= limit && answer.back() == '\n' && isValidUtf8(answer));
    std::string text = trimWhitespaceAndNewlines(answer);
    if (request.kind == RequestKind::ping) FUZZ_REQUIRE(text == kPongWord);
    if (request.kind == RequestKind::unknown) FUZZ_REQUIRE(isRefusal(text));
    if (request.kind == RequestKind::syncPath && answer != root + "\n") {
        FUZZ_REQUIRE(isRefusal(text) && (root.size() + 1 > kSyncPathAnswerLimit || !isValidUtf8(root)));
    }
    if (request.kind == RequestKind::batchStatus) {
        // A code from 0 to 7 per path; refused only when that many codes cannot fit.
        std::size_t asked = countPieces(request.paths);
        if (isRefusal(text)) FUZZ_REQUIRE(2 * asked > kBatchAnswerLimit);
        else FUZZ_REQUIRE(countPieces(text) == asked && text.find_first_not_of("01234567|") == std::string::npos);
    }
    return 0;
}
