// Words that many entries hold (the badge words, one per item, a few distinct ones), each kept once while any
// entry holds it, and let go of with the last. Plain state, one thread.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace vantorix::bridge {

class SharedWords {
    using Counts = std::map<std::string, std::size_t, std::less<>>;  // word -> the entries holding it

public:
    using Word = Counts::iterator;  // valid while held; the word is its key

    Word hold(std::string_view word) {
        auto held = counts_.find(word);
        if (held == counts_.end()) held = counts_.emplace(std::string(word), 0).first;
        ++held->second;
        return held;
    }
    void release(Word word) {
        if (--word->second == 0) counts_.erase(word);
    }
    // A held word for another, the same one kept without a look-up.
    void replace(Word& held, std::string_view word) {
        if (held->first == word) return;
        Word next = hold(word);
        release(held);
        held = next;
    }
    void clear() { counts_.clear(); }  // every word held is let go of at once

private:
    Counts counts_;
};

}  // namespace vantorix::bridge
