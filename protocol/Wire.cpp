#include "Wire.h"

#include "Utf8.h"

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

std::vector<std::string> splitOnSeparator(std::string_view text) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(kBatchSeparator, start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) pieces.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

std::size_t countPieces(std::string_view text) {
    std::size_t count = 0;
    bool inPiece = false;
    for (char c : text) {
        if (c == kBatchSeparator) {
            inPiece = false;
        } else if (!inPiece) {
            inPiece = true;
            ++count;
        }
    }
    return count;
}

std::string joinPaths(const std::vector<std::string>& paths) {
    std::string joined;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (i > 0) joined += kBatchSeparator;
        joined += paths[i];
    }
    return joined;
}

bool canCarryPath(std::string_view path) {
    if (path.empty()) return false;
    for (char c : path) {
        if (c == kBatchSeparator || c == '\n' || c == '\r' || c == '\0') return false;
    }
    return isValidUtf8(path);
}

}  // namespace vantorix
