#include "RequestLineReader.h"

#include <utility>

namespace vantorix::localservice {

RequestLineReader::State RequestLineReader::take(std::string_view bytes) {
    if (state_ != State::incomplete) return state_;
    std::size_t searchFrom = in_.size();
    in_.append(bytes);
    std::size_t newline = in_.find('\n', searchFrom);
    if (newline != std::string::npos) {
        line_ = in_.substr(0, newline);
        if (!line_.empty() && line_.back() == '\r') line_.pop_back();
        state_ = State::line;
    } else if (in_.size() > maximumLine_) {
        state_ = State::tooLong;
    } else {
        return state_;
    }
    in_.clear();
    in_.shrink_to_fit();
    return state_;
}

std::optional<std::string> RequestLineReader::end() {
    if (state_ != State::incomplete || in_.empty()) return std::nullopt;
    state_ = State::line;
    return std::exchange(in_, {});
}

}  // namespace vantorix::localservice
