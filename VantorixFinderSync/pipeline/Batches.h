// How queued paths are cut into the batches that go out one exchange each.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace vantorix {

// The size of the batches a flush or a run cuts.
inline constexpr std::size_t kBatchSize = 50;

// Consecutive batches of `size` paths in order; the last holds the remainder. Nothing for no paths.
inline std::vector<std::vector<std::string>> cutIntoBatches(const std::vector<std::string>& paths, std::size_t size = kBatchSize) {
    std::vector<std::vector<std::string>> batches;
    for (std::size_t start = 0; start < paths.size(); start += size) {
        std::size_t end = std::min(paths.size(), start + size);
        batches.emplace_back(paths.begin() + static_cast<std::ptrdiff_t>(start), paths.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return batches;
}

}  // namespace vantorix
