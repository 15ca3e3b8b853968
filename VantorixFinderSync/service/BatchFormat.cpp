#include "BatchFormat.h"

#include "../text/Utf8.h"

namespace vantorix {

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

std::vector<std::vector<std::string>> cutIntoBatches(const std::vector<std::string>& paths, std::size_t size) {
    std::vector<std::vector<std::string>> batches;
    for (std::size_t start = 0; start < paths.size(); start += size) {
        std::size_t end = std::min(paths.size(), start + size);
        batches.emplace_back(paths.begin() + static_cast<std::ptrdiff_t>(start), paths.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return batches;
}

bool canCarryPath(std::string_view path) {
    if (path.empty()) return false;
    for (char c : path) {
        if (c == kBatchSeparator || c == '\n' || c == '\r' || c == '\0') return false;
    }
    return isValidUtf8(path);
}

}  // namespace vantorix
