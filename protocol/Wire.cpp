#include "Wire.h"

#include "Utf8.h"

#include <algorithm>

namespace vantorix {

std::string pingRequest() { return std::string(kPingWord) + "\n"; }

std::string syncPathRequest() { return std::string(kSyncPathWord) + "\n"; }

std::string batchStatusRequest(std::string_view pathsString) {
    std::string line;
    line.reserve(kBatchStatusPrefix.size() + pathsString.size() + 1);
    line.append(kBatchStatusPrefix).append(pathsString).push_back('\n');
    return line;
}

ParsedRequest parseRequestLine(std::string_view line) {
    if (line == kPingWord) return {RequestKind::ping, {}};
    if (line == kSyncPathWord) return {RequestKind::syncPath, {}};
    if (line.substr(0, kBatchStatusPrefix.size()) == kBatchStatusPrefix) return {RequestKind::batchStatus, line.substr(kBatchStatusPrefix.size())};
    return {RequestKind::unknown, {}};
}

bool isRefusal(std::string_view answer) { return answer.substr(0, kRefusalPrefix.size()) == kRefusalPrefix; }

namespace {

// Calls `each` with every non-empty piece between separators, each separator found by a library search rather
// than a byte at a time: a request of 50 paths is a few kilobytes, counted on every exchange.
template <typename Each>
void forEachPiece(std::string_view text, Each each) {
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t end = std::min(text.find(kBatchSeparator, start), text.size());
        if (end > start) each(text.substr(start, end - start));
        start = end + 1;
    }
}

}  // namespace

std::vector<std::string> splitOnSeparator(std::string_view text) {
    std::vector<std::string> pieces;
    forEachPiece(text, [&](std::string_view piece) { pieces.emplace_back(piece); });
    return pieces;
}

std::size_t countPieces(std::string_view text) {
    std::size_t count = 0;
    forEachPiece(text, [&](std::string_view) { ++count; });
    return count;
}

bool canCarryPath(std::string_view path) {
    if (path.empty()) return false;
    for (char c : path) {
        if (c == kBatchSeparator || c == '\n' || c == '\r' || c == '\0') return false;
    }
    return isValidUtf8(path);
}

}  // namespace vantorix
