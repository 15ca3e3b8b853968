#include "LineBuffer.h"

namespace vantorix::bridge {

void LineBuffer::append(std::string_view bytes) {
    if (consumed_ > 0 && consumed_ * 2 >= data_.size()) {
        data_.erase(0, consumed_);
        consumed_ = 0;
    }
    data_.append(bytes);
}

bool LineBuffer::next(std::string& line) {
    while (true) {
        std::size_t feed = data_.find('\n', consumed_ + searched_);
        if (feed == std::string::npos) {
            if (consumed_ == data_.size()) release();
            searched_ = data_.size() - consumed_;
            if (searched_ > kLongestLine) {
                // Too long to be a message: drop what is held and the rest of the line when it comes.
                if (!skipping_) ++dropped_;
                skipping_ = true;
                data_.clear();
                consumed_ = searched_ = 0;
            }
            return false;
        }
        std::size_t start = consumed_;
        consumed_ = feed + 1;
        searched_ = 0;
        if (skipping_ || feed - start > kLongestLine) {
            if (!skipping_) ++dropped_;
            skipping_ = false;
            continue;
        }
        line.assign(data_, start, feed - start);
        return true;
    }
}

bool LineBuffer::finish() {
    bool partial = pending() > 0 && !skipping_;
    if (partial) ++dropped_;
    clear();
    return partial;
}

void LineBuffer::clear() {
    release();
    skipping_ = false;
}

void LineBuffer::release() {
    data_.clear();
    if (data_.capacity() > kKeptRoom) data_.shrink_to_fit();
    consumed_ = searched_ = 0;
}

}  // namespace vantorix::bridge
