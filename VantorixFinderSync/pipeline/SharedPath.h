// A path stored once and shared by every structure that holds it: the polled folder's pass, the batch queue, the
// set of paths under way, the batches, the results and the status cache all keep a reference to the same text,
// so that a path at rest costs no copy and no allocation per pass. Its hash is taken once, when the text is made;
// tables keyed by it probe with that hash and, when both sides share the text, compare one pointer.
//
// The text never changes after it is made. The reference count is atomic: a path moves between the main thread,
// the lock queues and runQueue.
#pragma once

#include "protocol/Wire.h"

#include <boost/container_hash/hash.hpp>
#include <boost/smart_ptr/intrusive_ptr.hpp>
#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

namespace vantorix {

// The hash every path table uses, for stored paths and for the texts they are looked up by alike.
inline std::size_t hashOfPath(std::string_view text) { return boost::hash<std::string_view>{}(text); }

class SharedPath {
public:
    SharedPath() = default;  // the empty path
    // Implicit: a text becomes a shared path wherever one is wanted, at the cost of one allocation.
    SharedPath(std::string_view text) : text_(Text::make(text)) {}  // NOLINT(google-explicit-constructor)
    SharedPath(const std::string& text) : SharedPath(std::string_view(text)) {}  // NOLINT(google-explicit-constructor)
    SharedPath(const char* text) : SharedPath(std::string_view(text)) {}  // NOLINT(google-explicit-constructor)

    std::string_view view() const { return text_ ? std::string_view(text_->characters(), text_->size) : std::string_view(); }
    std::string str() const { return std::string(view()); }
    std::size_t hash() const { return text_ ? text_->hash : hashOfPath({}); }
    // Whether a request line can carry it (canCarryPath), decided once when the text is made.
    bool carriable() const { return text_ && text_->carriable; }

    friend bool operator==(const SharedPath& a, const SharedPath& b) { return a.text_ == b.text_ || a.view() == b.view(); }
    friend std::strong_ordering operator<=>(const SharedPath& a, const SharedPath& b) { return a.view() <=> b.view(); }

private:
    // The count, the hash and the characters in one allocation: a path costs one block of memory, however many
    // structures hold it.
    struct Text {
        mutable std::atomic<std::uint32_t> references{0};
        const bool carriable;
        const std::size_t size;
        const std::size_t hash;
        const char* characters() const { return reinterpret_cast<const char*>(this + 1); }

        static Text* make(std::string_view from) {
            void* memory = ::operator new(sizeof(Text) + from.size());
            auto* text = new (memory) Text{canCarryPath(from), from.size(), hashOfPath(from)};
            if (!from.empty()) std::memcpy(static_cast<char*>(memory) + sizeof(Text), from.data(), from.size());
            return text;
        }
        Text(bool carriable, std::size_t size, std::size_t hash) : carriable(carriable), size(size), hash(hash) {}
        friend void intrusive_ptr_add_ref(const Text* text) { text->references.fetch_add(1, std::memory_order_relaxed); }
        friend void intrusive_ptr_release(const Text* text) {
            if (text->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
            text->~Text();
            ::operator delete(const_cast<Text*>(text));
        }
    };
    boost::intrusive_ptr<const Text> text_;
};

// Hash and equality for tables keyed by SharedPath that are also looked up by a plain text, without making a
// SharedPath for the lookup.
struct SharedPathHash {
    using is_transparent = void;
    std::size_t operator()(const SharedPath& path) const { return path.hash(); }
    std::size_t operator()(std::string_view text) const { return hashOfPath(text); }
    std::size_t operator()(const std::string& text) const { return hashOfPath(text); }
};
struct SharedPathEqual {
    using is_transparent = void;
    bool operator()(const SharedPath& a, const SharedPath& b) const { return a == b; }
    bool operator()(const SharedPath& a, std::string_view b) const { return a.view() == b; }
    bool operator()(std::string_view a, const SharedPath& b) const { return a == b.view(); }
    bool operator()(const SharedPath& a, const std::string& b) const { return a.view() == b; }
    bool operator()(const std::string& a, const SharedPath& b) const { return a == b.view(); }
};

// The tables keyed by path that every polling pass reads, one lookup per item of the folders shown: open addressing
// in one flat array (Boost.Unordered), so a lookup is a probe or two of adjacent slots rather than a walk along
// nodes, and an entry is the shared path's pointer beside its value.
template <typename Value>
using PathTable = boost::unordered_flat_map<SharedPath, Value, SharedPathHash, SharedPathEqual>;
using PathSet = boost::unordered_flat_set<SharedPath, SharedPathHash, SharedPathEqual>;

}  // namespace vantorix
