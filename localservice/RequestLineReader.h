// The request line of one connection, assembled from the bytes as they arrive, in whatever pieces the socket
// hands them over. Pure: the server feeds it what recv() returned, a test or a fuzzer feeds it anything.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vantorix::localservice {

// The answer to a line that grew past the maximum without a line feed.
inline constexpr std::string_view kRequestTooLongAnswer = "ERROR: request too long\n";

class RequestLineReader {
public:
    enum class State { incomplete, line, tooLong };

    explicit RequestLineReader(std::size_t maximumLine) : maximumLine_(maximumLine) {}

    // Appends the next bytes. `line` once a line feed has come: takeLine() then hands over what came before
    // the first one, less one carriage return before it (bytes after the line feed are dropped). `tooLong` when
    // more than the maximum has come without a line feed. Bytes taken after either are ignored.
    State take(std::string_view bytes);
    std::string takeLine() { return std::move(line_); }

    // The peer closed its side: what came is the request, as it is, if anything came at all.
    std::optional<std::string> end();

private:
    std::size_t maximumLine_;
    std::string in_;
    std::string line_;
    State state_ = State::incomplete;
};

}  // namespace vantorix::localservice
