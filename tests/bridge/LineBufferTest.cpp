// The lines of the session service as the bridge cuts them: whole lines across reads, over-long lines and a last
// line without its line feed dropped whole and counted once.
#include "LineBuffer.h"

#include <gtest/gtest.h>

namespace vantorix::bridge {
namespace {

std::vector<std::string> drain(LineBuffer& buffer) {
    std::vector<std::string> lines;
    for (std::string line; buffer.next(line);) lines.push_back(line);
    return lines;
}

TEST(LineBuffer, CutsLinesAcrossReadsAndDropsOverLongAndUnfinishedOnesWhole) {
    LineBuffer buffer;
    buffer.append("{\"a\":1}\n\n{\"b\"");
    EXPECT_EQ(drain(buffer), (std::vector<std::string>{"{\"a\":1}", ""}));
    EXPECT_EQ(buffer.pending(), 4u);
    buffer.append(":2}\nrest");
    EXPECT_EQ(drain(buffer), (std::vector<std::string>{"{\"b\":2}"}));

    // Over the limit by one byte, arriving in pieces: dropped with its end, counted once, and the next line whole.
    std::string longest(LineBuffer::kLongestLine, 'x');
    buffer.append(longest);
    EXPECT_TRUE(drain(buffer).empty());
    buffer.append(longest);
    EXPECT_TRUE(drain(buffer).empty());
    EXPECT_LT(buffer.pending(), 2 * LineBuffer::kLongestLine) << "an over-long line is not held";
    buffer.append("tail\nnext\n");
    EXPECT_EQ(drain(buffer), (std::vector<std::string>{"next"}));
    EXPECT_EQ(buffer.droppedLines(), 1u);
    // Exactly at the limit is a line; one byte over in a single read is not.
    buffer.append(longest + "\n" + longest + "y\nlast\n");
    auto lines = drain(buffer);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), LineBuffer::kLongestLine);
    EXPECT_EQ(lines[1], "last");
    EXPECT_EQ(buffer.droppedLines(), 2u);
    EXPECT_LE(buffer.room(), LineBuffer::kKeptRoom) << "every line delivered: the burst's memory is given back";

    // The stream ends: a partial line is dropped and counted; none held, nothing counted.
    buffer.append("half");
    EXPECT_FALSE(buffer.next(lines[0]));
    EXPECT_TRUE(buffer.finish());
    EXPECT_FALSE(buffer.finish());
    EXPECT_EQ(buffer.droppedLines(), 3u);
    EXPECT_EQ(buffer.pending(), 0u);
}

}  // namespace
}  // namespace vantorix::bridge
