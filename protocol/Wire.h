// The wire format between the extension and the local service: one request line per TCP connection to
// 127.0.0.1:27835, one answer line back. Both ends and the simulated peer build and read lines with these
// functions, so the two sides cannot drift apart.
//
//   "PING\n"                        -> "PONG"                                   (at most 64 bytes read)
//   "GET_SYNC_PATH\n"               -> the sync folder's path, or "ERROR: ..."  (at most 1024 bytes read)
//   "BATCH_STATUS:" P1|P2|... "\n"  -> one status code per path, joined by "|" (at most 8192 bytes read)
//
// Paths travel unescaped: a "|" inside a path is a separator, so only paths that canCarryPath() accepts may be
// put on a line. Counting splits on "|" and drops empty pieces, on the request and on the answer alike.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantorix {

inline constexpr const char* kServiceHost = "127.0.0.1";
inline constexpr int kServicePort = 27835;

inline constexpr char kBatchSeparator = '|';
inline constexpr std::string_view kPingWord = "PING";
inline constexpr std::string_view kPongWord = "PONG";
inline constexpr std::string_view kSyncPathWord = "GET_SYNC_PATH";
inline constexpr std::string_view kBatchStatusPrefix = "BATCH_STATUS:";
inline constexpr std::string_view kRefusalPrefix = "ERROR:";

// The most bytes the client reads of each answer; an answer must fit in them.
inline constexpr std::size_t kPingAnswerLimit = 64;
inline constexpr std::size_t kSyncPathAnswerLimit = 1024;
inline constexpr std::size_t kBatchAnswerLimit = 8192;

// --- Requests, as the client writes them (line feed included) ---
std::string pingRequest();
std::string syncPathRequest();
std::string batchStatusRequest(std::string_view pathsString);

// --- Requests, as the service reads them (the line without its line feed) ---
enum class RequestKind { ping, syncPath, batchStatus, unknown };
struct ParsedRequest {
    RequestKind kind;
    std::string_view paths;  // the paths string of a batch status request, a view into the line
};
ParsedRequest parseRequestLine(std::string_view line);

// Whether a sync path answer is the service's refusal.
bool isRefusal(std::string_view answer);

// --- The counting rule: split on "|", empty pieces dropped; the number of pieces is the count ---
std::vector<std::string> splitOnSeparator(std::string_view text);
std::size_t countPieces(std::string_view text);
// The texts joined by "|"; `textOf` gives an element's text, for paths kept in another form than a string.
template <typename Paths, typename TextOf>
std::string joinPaths(const Paths& paths, TextOf textOf) {
    std::size_t length = 0;
    for (const auto& path : paths) length += std::string_view(textOf(path)).size() + 1;
    std::string joined;
    joined.reserve(length);
    bool first = true;
    for (const auto& path : paths) {
        if (!std::exchange(first, false)) joined += kBatchSeparator;
        joined += textOf(path);
    }
    return joined;
}
inline std::string joinPaths(const std::vector<std::string>& paths) {
    return joinPaths(paths, [](const std::string& path) -> const std::string& { return path; });
}

// Whether the request line can carry the path: not empty, valid UTF-8, and free of "|", line feed, carriage
// return and NUL. A path that fails would be split, end the request early or be rejected by the service.
bool canCarryPath(std::string_view path);

}  // namespace vantorix
