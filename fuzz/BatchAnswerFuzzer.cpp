// The batch exchange's reading of an answer: the counting rule on any text, the carriable paths a batch sends,
// and an answer of any bytes cut to the single read, checked as UTF-8, trimmed and paired with those paths.
// Input: candidate paths separated by line feeds, a NUL, then the answer's bytes.
#include "FuzzInput.h"
#include "pipeline/Batches.h"
#include "protocol/Utf8.h"
#include "protocol/Wire.h"

#include <algorithm>

using namespace vantorix;

namespace {

// The counting rule: non-empty pieces free of "|", as many as countPieces() says, kept by joining them again.
void checkCounting(std::string_view text) {
    std::vector<std::string> pieces = splitOnSeparator(text);
    FUZZ_REQUIRE(pieces.size() == countPieces(text));
    for (const auto& piece : pieces) FUZZ_REQUIRE(!piece.empty() && piece.find(kBatchSeparator) == std::string::npos);
    FUZZ_REQUIRE(splitOnSeparator(joinPaths(pieces)) == pieces);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    std::string_view candidates = input.upTo('\0');
    std::string_view answer = input.rest();
    checkCounting(candidates);
    checkCounting(answer);

    // What a batch sends: the carriable paths, joined; the line splits back into exactly them.
    std::vector<std::string> paths;
    for (fuzz::FuzzInput lines(reinterpret_cast<const std::uint8_t*>(candidates.data()), candidates.size()); !lines.rest().empty();) {
        std::string_view path = lines.upTo('\n');
        if (canCarryPath(path)) paths.emplace_back(path);
    }
    std::string pathsString = joinPaths(paths);
    FUZZ_REQUIRE(splitOnSeparator(pathsString) == paths && countPieces(pathsString) == paths.size());

    // The single read takes at most the limit, trimmed (what trimming keeps: the url_utf8 target).
    std::string_view received = answer.substr(0, kBatchAnswerLimit);
    if (!isValidUtf8(received)) return 0;  // the exchange fails before pairing
    std::string trimmed = trimWhitespaceAndNewlines(received);
    checkCounting(trimmed);

    // Pairing: by position, each path at most once, as many pairs as both sides have, codes as the rule cuts them.
    std::vector<std::string> codes = splitOnSeparator(trimmed);
    std::vector<BatchResult> pairs = pairAnswer({paths.begin(), paths.end()}, trimmed);
    FUZZ_REQUIRE(pairs.size() == std::min(paths.size(), countPieces(trimmed)));
    for (std::size_t i = 0; i < pairs.size(); ++i) FUZZ_REQUIRE(pairs[i].path == paths[i] && pairs[i].status == codes[i]);
    // An answer that passes the batch request's count check gives every path exactly one code.
    if (countPieces(trimmed) == countPieces(pathsString)) FUZZ_REQUIRE(pairs.size() == paths.size());
    return 0;
}
