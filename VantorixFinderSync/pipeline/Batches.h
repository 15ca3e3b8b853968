// How queued paths are cut into the batches that go out one exchange each, and how an answer's codes are paired
// with a batch's paths.
#pragma once

#include "SharedPath.h"
#include "protocol/Wire.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vantorix {

// The size of the batches a flush or a run cuts.
inline constexpr std::size_t kBatchSize = 50;

// Consecutive batches of `size` paths in order; the last holds the remainder. Nothing for no paths.
template <typename Path>
std::vector<std::vector<Path>> cutIntoBatches(std::vector<Path> paths, std::size_t size = kBatchSize) {
    std::vector<std::vector<Path>> batches;
    batches.reserve((paths.size() + size - 1) / size);
    for (std::size_t start = 0; start < paths.size(); start += size) {
        std::size_t end = std::min(paths.size(), start + size);
        batches.emplace_back(std::make_move_iterator(paths.begin() + static_cast<std::ptrdiff_t>(start)),
                             std::make_move_iterator(paths.begin() + static_cast<std::ptrdiff_t>(end)));
    }
    return batches;
}

// One pair of a batch answer: a path and the status code the local service gave it.
struct BatchResult {
    SharedPath path;
    std::string status;
    bool operator==(const BatchResult&) const = default;
};

// Pairs the answer's codes (the counting rule: split on "|", empty pieces dropped) with the paths by position.
// A path without a code gets no pair; codes beyond the paths are ignored. Each path gets at most one pair.
inline std::vector<BatchResult> pairAnswer(std::vector<SharedPath> paths, std::string_view answer) {
    std::vector<std::string> codes = splitOnSeparator(answer);
    std::vector<BatchResult> results;
    results.reserve(std::min(paths.size(), codes.size()));
    for (std::size_t i = 0; i < paths.size() && i < codes.size(); ++i) results.push_back({std::move(paths[i]), std::move(codes[i])});
    return results;
}

// The request's paths string of a batch.
inline std::string joinPaths(const std::vector<SharedPath>& paths) {
    return joinPaths(paths, [](const SharedPath& path) { return path.view(); });
}

}  // namespace vantorix
