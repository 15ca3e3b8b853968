#include "LineQueue.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace vantorix::session {
namespace {

// A few lines at rest take a piece of a page, not a whole one.
constexpr std::size_t kSmallest = 4096;

}  // namespace

void LineQueue::append(std::string_view bytes) {
    size_ += bytes.size();
    while (!bytes.empty()) {
        if (pieces_.empty() || pieces_.back().size() == pieces_.back().capacity()) {
            pieces_.emplace_back().reserve(bytes.size() <= kSmallest ? kSmallest : kPiece);
        }
        std::string& piece = pieces_.back();
        std::size_t taken = std::min(bytes.size(), piece.capacity() - piece.size());
        piece.append(bytes.substr(0, taken));
        bytes.remove_prefix(taken);
    }
}

void LineQueue::clear() {
    pieces_.clear();
    written_ = size_ = 0;
}

void LineQueue::swap(LineQueue& other) noexcept {
    pieces_.swap(other.pieces_);
    std::swap(written_, other.written_);
    std::swap(size_, other.size_);
}

int LineQueue::writeTo(int fd) {
    while (!pieces_.empty()) {
        const std::string& piece = pieces_.front();
        ssize_t written = ::send(fd, piece.data() + written_, piece.size() - written_, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written > 0) {
            written_ += static_cast<std::size_t>(written);
            size_ -= static_cast<std::size_t>(written);
            if (written_ == piece.size()) {
                pieces_.pop_front();
                written_ = 0;
            }
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return 0;
        } else {
            return written < 0 ? errno : EIO;
        }
    }
    return 0;
}

}  // namespace vantorix::session
