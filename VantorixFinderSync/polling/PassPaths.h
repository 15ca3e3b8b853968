// The paths of a polled folder's last pass, in the order of its listing, so that the next pass shares them
// rather than making them again. A folder at rest lists in the same order every time, so the next path is
// almost always the one after the last found: one compare, no hash. An entry added or gone breaks the order;
// the rest is then found through an index of the last pass, made once, and the order picks up after it.
#pragma once

#include "../pipeline/SharedPath.h"

#include <boost/unordered/unordered_flat_map.hpp>

#include <cstddef>
#include <string_view>
#include <vector>

namespace vantorix {

class PassPaths {
public:
    // The last pass's path of this text, or nothing.
    const SharedPath* find(std::string_view text) {
        if (cursor_ < last_.size() && last_[cursor_].view() == text) return &last_[cursor_++];
        if (!indexed_) {
            for (std::size_t place = 0; place < last_.size(); ++place) index_.emplace(last_[place].view(), place);
            indexed_ = true;
        }
        auto found = index_.find(text);
        if (found == index_.end()) return nullptr;
        cursor_ = found->second + 1;
        return &last_[found->second];
    }
    // This pass's paths, in order.
    void keep(const std::vector<SharedPath>& paths) { this_.insert(this_.end(), paths.begin(), paths.end()); }
    // This pass's paths become the last pass's; the paths of the last pass that this one did not keep are let go.
    void endPass() {
        last_ = std::move(this_);
        this_ = {};
        this_.reserve(last_.size());
        cursor_ = 0;
        index_.clear();
        indexed_ = false;
    }

private:
    std::vector<SharedPath> last_;
    std::vector<SharedPath> this_;
    std::size_t cursor_ = 0;  // where the last pass's next path is expected
    boost::unordered_flat_map<std::string_view, std::size_t> index_;  // views into last_'s texts, by place
    bool indexed_ = false;
};

}  // namespace vantorix
