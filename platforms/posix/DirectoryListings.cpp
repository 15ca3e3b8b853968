#include "DirectoryListings.h"

#include "PosixDispatch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantorix::posix {
namespace {

std::chrono::nanoseconds sinceEpoch(const timespec& time) { return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec); }

}  // namespace

DirectoryListings::DirectoryListings(std::function<WallTime()> wallNow, std::function<MonotonicTime()> monotonicNow)
    : wallNow_(wallNow ? std::move(wallNow) : [] { return std::chrono::system_clock::now(); }),
      monotonicNow_(monotonicNow ? std::move(monotonicNow) : [] { return monotonicClockNow(); }) {}

std::optional<DirectoryListings::Stamp> DirectoryListings::stampOf(int descriptor, const std::string& path) {
    struct stat info {};
    int status = descriptor >= 0 ? ::fstat(descriptor, &info) : ::stat(path.c_str(), &info);
    if (status != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
    return Stamp{info.st_dev, info.st_ino, sinceEpoch(info.st_mtim), sinceEpoch(info.st_ctim)};
}

DirectoryNames DirectoryListings::contentsOf(const std::string& path) {
    std::optional<Stamp> now = stampOf(-1, path);
    if (!now) return nullptr;
    std::size_t expected = 0;  // the size of the folder's kept listing: a re-read is made to that size at once
    {
        std::lock_guard lock(mutex_);
        auto found = kept_.find(path);
        if (found != kept_.end() && found->second.stamp == *now && monotonicNow_() - found->second.listedAt < kMaxAge) {
            found->second.lastAsked = ++asks_;
            return found->second.names;
        }
        if (found != kept_.end()) expected = found->second.names->size();
    }
    // The times are taken from the opened directory before it is read: a change during the reading shows in the
    // next stamp, and the next ask reads again.
    int descriptor = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) return nullptr;
    std::optional<Stamp> stamp = stampOf(descriptor, path);
    DIR* directory = stamp ? ::fdopendir(descriptor) : nullptr;
    if (directory == nullptr) {
        ::close(descriptor);
        return nullptr;
    }
    MonotonicTime listedAt = monotonicNow_();
    auto settledBefore = wallNow_().time_since_epoch() - kSettled;
    auto read = std::make_shared<std::vector<std::string>>();
    read->reserve(expected + expected / 16);
    while (dirent* entry = ::readdir(directory)) {
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") read->emplace_back(name);
    }
    // A listing may be kept for long: not with the room its growth left (up to half of it).
    if (read->capacity() - read->size() > read->size() / 8) read->shrink_to_fit();
    DirectoryNames names = std::move(read);
    ::closedir(directory);
    std::lock_guard lock(mutex_);
    ++readings_;
    if (stamp->modified < settledBefore && stamp->changed < settledBefore) {
        keep(path, Listing{*stamp, listedAt, ++asks_, names});
    } else {
        kept_.erase(path);
    }
    return names;
}

// Runs under mutex_.
void DirectoryListings::keep(const std::string& path, Listing listing) {
    kept_.insert_or_assign(path, std::move(listing));
    if (kept_.size() <= kKept) return;
    auto oldest = kept_.begin();
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
        if (it->second.lastAsked < oldest->second.lastAsked) oldest = it;
    }
    kept_.erase(oldest);
}

std::size_t DirectoryListings::readings() const {
    std::lock_guard lock(mutex_);
    return readings_;
}

}  // namespace vantorix::posix
