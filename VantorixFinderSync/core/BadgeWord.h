// A badge word ("success", "sync", ...) kept once per process: a table entry holds a pointer to the one copy
// rather than a string of its own, so that the status cache and the file manager's model spend 8 bytes per item
// on it, not 32. The words are few (the catalogue's, and "" for none); each is added once and kept for the life
// of the process.
#pragma once

#include <functional>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <string_view>

namespace vantorix {

class BadgeWord {
public:
    BadgeWord() : word_(&kept("")) {}
    explicit BadgeWord(std::string_view word) : word_(&kept(word)) {}

    const std::string& str() const { return *word_; }

    friend bool operator==(const BadgeWord& a, const BadgeWord& b) { return a.word_ == b.word_; }
    friend bool operator==(const BadgeWord& a, std::string_view b) { return *a.word_ == b; }
    friend std::ostream& operator<<(std::ostream& out, const BadgeWord& word) { return out << *word.word_; }

private:
    // The one copy of the word; the set's nodes never move, so the pointer stays good.
    static const std::string& kept(std::string_view word) {
        static std::mutex mutex;
        static std::set<std::string, std::less<>> words;
        std::lock_guard lock(mutex);
        auto found = words.find(word);
        if (found == words.end()) found = words.emplace(word).first;
        return *found;
    }

    const std::string* word_;
};

}  // namespace vantorix
