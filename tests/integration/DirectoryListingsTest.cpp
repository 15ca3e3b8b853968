// Listings kept while a directory shows no change: a listing always says what the folder holds, and a folder at
// rest is read from the file system once until its listing grows old.
#include "ChildProcess.h"
#include "platforms/posix/DirectoryListings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

namespace vantorix::posix {
namespace {

using Names = std::vector<std::string>;

Names sorted(const DirectoryNames& listed) {
    if (!listed) return {"(none)"};
    Names names = *listed;
    std::sort(names.begin(), names.end());
    return names;
}

TEST(DirectoryListings, SaysWhatTheFolderHoldsAndReadsASettledFolderOnce) {
    testing::TemporaryFolder folder("vantorix-listings");
    const std::string path = folder.path.string();
    auto make = [&](const std::string& name) { std::ofstream(folder.path / name) << name; };
    // Dates the folder's modification in the past, each time a different one, so that the next change shows in
    // its times even within one tick of the file system's clock.
    int aged = 0;
    auto age = [&] { std::filesystem::last_write_time(folder.path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1) - std::chrono::seconds(++aged)); };
    std::chrono::hours clockAhead{-1};
    MonotonicTime monotonic{};
    DirectoryListings listings([&] { return std::chrono::system_clock::now() + clockAhead; }, [&] { return monotonic; });
    make("a");
    make("b");

    // Changed just now: a change in the same tick of the file system's clock would not show, so every ask reads.
    EXPECT_EQ(sorted(listings.contentsOf(path)), (Names{"a", "b"}));
    EXPECT_EQ(sorted(listings.contentsOf(path)), (Names{"a", "b"}));
    EXPECT_EQ(listings.readings(), 2u);

    // Settled: read once, then answered from the kept listing.
    clockAhead = std::chrono::hours(1);
    age();
    EXPECT_EQ(sorted(listings.contentsOf(path)), (Names{"a", "b"}));
    EXPECT_EQ(sorted(listings.contentsOf(path)), (Names{"a", "b"}));
    EXPECT_EQ(listings.readings(), 3u);

    // Every change shows at the next ask.
    make("c");
    EXPECT_EQ(sorted(listings.contentsOf(path)), (Names{"a", "b", "c"}));
    age();
    std::filesystem::remove(folder.path / "a");
    EXPECT_EQ(sorted(listings.contentsOf(path)), (Names{"b", "c"}));
    age();
    std::filesystem::rename(folder.path / "b", folder.path / "d");
    EXPECT_EQ(sorted(listings.contentsOf(path)), (Names{"c", "d"}));
    EXPECT_EQ(listings.readings(), 6u);

    // A listing grown old is read again, however settled.
    monotonic += DirectoryListings::kMaxAge;
    EXPECT_EQ(sorted(listings.contentsOf(path)), (Names{"c", "d"}));
    EXPECT_EQ(listings.readings(), 7u);

    // What cannot be listed lists nothing, also after it was listed.
    EXPECT_FALSE(listings.contentsOf(path + "/c"));
    EXPECT_FALSE(listings.contentsOf(path + "/missing"));
    std::filesystem::remove_all(folder.path);
    EXPECT_FALSE(listings.contentsOf(path));
}

}  // namespace
}  // namespace vantorix::posix
