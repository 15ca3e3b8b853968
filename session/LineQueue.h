// The bytes queued for a host, in pieces of at most kPiece bytes each, written from the front as the host takes
// them. A burst (a large folder's lines, before the host reads them) holds what it queued, give or take a piece:
// one buffer grown by doubling held up to twice that, and more while it grew, and gave its room back only once
// emptied. A piece is given back as soon as it is written. Used by one thread at a time.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace vantorix::session {

class LineQueue {
public:
    // At or above the allocator's mapping threshold: a written piece goes back to the system at once.
    static constexpr std::size_t kPiece = 128 * 1024;

    void append(std::string_view bytes);
    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }  // the bytes not yet written
    void clear();
    void swap(LineQueue& other) noexcept;
    // Writes to the non-blocking socket as much as it takes now. Returns 0, or the errno of a failed write.
    int writeTo(int fd);

private:
    std::deque<std::string> pieces_;
    std::size_t written_ = 0;  // of the first piece
    std::size_t size_ = 0;
};

}  // namespace vantorix::session
