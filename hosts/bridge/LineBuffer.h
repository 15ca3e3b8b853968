// Cuts the bytes read from the session service into lines. A line longer than the limit is dropped whole
// (counted, never delivered), and so is a last line that never got its line feed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantorix::bridge {

class LineBuffer {
public:
    static constexpr std::size_t kLongestLine = 1 << 20;
    // The room kept once every line was delivered; more is given back, so a burst leaves nothing behind.
    static constexpr std::size_t kKeptRoom = 64 << 10;

    void append(std::string_view bytes);
    // The next complete line, without its line feed; false when there is none yet.
    bool next(std::string& line);
    // The bytes not yet delivered.
    std::size_t pending() const { return data_.size() - consumed_; }
    // The memory held for bytes, delivered or not.
    std::size_t room() const { return data_.capacity(); }
    // The stream ended, and next() has returned false: a partial line still held is dropped. Returns whether
    // there was one.
    bool finish();
    void clear();
    std::uint64_t droppedLines() const { return dropped_; }

private:
    void release();  // forgets every byte held, giving back the room of a burst

    std::string data_;
    std::size_t consumed_ = 0;
    std::size_t searched_ = 0;  // bytes after consumed_ known to hold no line feed
    bool skipping_ = false;     // inside an over-long line, waiting for its end
    std::uint64_t dropped_ = 0;
};

}  // namespace vantorix::bridge
