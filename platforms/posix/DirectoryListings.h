// Listings of directories, kept while the directory shows no change. The polling lists every shown folder each
// pass and the file manager model re-lists it every second; a folder at rest would otherwise be read from the
// file system again and again (at 50,000 entries, several milliseconds of kernel time each).
//
// A kept listing answers again only while all of these hold:
// - the directory's identity and its change and modification times are those it had when it was listed
//   (adding, removing or renaming an entry changes both times);
// - those times were settled at the listing: older than the clock by kSettled. A change in the same tick of a
//   coarse file system clock would leave the times as they were; a change after a settled listing cannot;
// - the listing is younger than kMaxAge, which bounds what a file system that keeps no times can hide.
// Any thread.
#pragma once

#include "platform/DirectoryNames.h"
#include "platform/Time.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vantorix::posix {

class DirectoryListings {
public:
    static constexpr std::chrono::seconds kSettled{2};
    static constexpr std::chrono::seconds kMaxAge{10};
    static constexpr std::size_t kKept = 16;  // directories; the least recently asked goes first

    // The clocks are the process's own unless a test gives others.
    explicit DirectoryListings(std::function<WallTime()> wallNow = {}, std::function<MonotonicTime()> monotonicNow = {});

    // The names of the directory's entries without "." and ".."; nothing when it cannot be listed.
    DirectoryNames contentsOf(const std::string& path);
    // How many times the file system was read; the rest were answered from a kept listing.
    std::size_t readings() const;

private:
    struct Stamp {
        dev_t device = 0;
        ino_t inode = 0;
        std::chrono::nanoseconds modified{0};
        std::chrono::nanoseconds changed{0};
        bool operator==(const Stamp&) const = default;
    };
    struct Listing {
        Stamp stamp;
        MonotonicTime listedAt;
        std::uint64_t lastAsked = 0;
        DirectoryNames names;
    };
    static std::optional<Stamp> stampOf(int descriptor, const std::string& path);
    void keep(const std::string& path, Listing listing);

    std::function<WallTime()> wallNow_;
    std::function<MonotonicTime()> monotonicNow_;
    mutable std::mutex mutex_;
    std::map<std::string, Listing> kept_;
    std::uint64_t asks_ = 0;
    std::size_t readings_ = 0;
};

}  // namespace vantorix::posix
