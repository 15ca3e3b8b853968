// The wire rules of the batch status request, as pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vantorix {

inline constexpr char kBatchSeparator = '|';
// The size of the batches a flush or a run cuts.
inline constexpr std::size_t kBatchSize = 50;

// The counting rule: the text split on "|" with empty pieces dropped. The number of pieces is the count.
std::vector<std::string> splitOnSeparator(std::string_view text);
std::size_t countPieces(std::string_view text);

std::string joinPaths(const std::vector<std::string>& paths);

// Consecutive batches of `size` paths in order; the last holds the remainder. Nothing for no paths.
std::vector<std::vector<std::string>> cutIntoBatches(const std::vector<std::string>& paths, std::size_t size = kBatchSize);

// Whether the request line can carry the path: not empty, valid UTF-8, and free of "|", line feed, carriage
// return and NUL. A path that fails would be split, end the request early or be rejected by the service.
bool canCarryPath(std::string_view path);

}  // namespace vantorix
