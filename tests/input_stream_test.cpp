#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "platform/input_stream.h"

namespace tz {
namespace {

TEST(InputStreamFile, ReadsWholeItemsAndClosesOnlyOwnedFiles) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::fwrite("0123456789", 1, 10, file);
    std::rewind(file);
    InputStream* stream = createFileStream(file, 0);
    ASSERT_NE(stream, nullptr);
    char buffer[8];
    EXPECT_EQ(stream->read(stream->context, buffer, 4, 1), 1);
    EXPECT_EQ(stream->read(stream->context, buffer, 1, 4), 4);
    EXPECT_EQ(stream->read(stream->context, buffer, 4, 1), 0);  // two bytes are no whole item
    EXPECT_EQ(stream->read(stream->context, buffer, 1, 1), 0);
    releaseStream(stream);
    // Not owned: the file is still open and usable.
    std::rewind(file);
    EXPECT_EQ(std::fread(buffer, 1, 1, file), 1u);

    InputStream* owning = createFileStream(file, 1);
    ASSERT_NE(owning, nullptr);
    EXPECT_EQ(owning->close(owning->context), 0);  // closes the file
    delete owning;
}

TEST(InputStreamMemory, ServesItsBytesOnceAndReadsWhole) {
    const uint8_t bytes[] = {1, 2, 3, 4, 5};
    StreamPtr stream(createMemoryStream(bytes, sizeof bytes));
    std::vector<uint8_t> all;
    EXPECT_TRUE(readWholeStream(stream.get(), all, 5));
    EXPECT_EQ(all, std::vector<uint8_t>(bytes, bytes + 5));
    StreamPtr again(createMemoryStream(bytes, sizeof bytes));
    EXPECT_FALSE(readWholeStream(again.get(), all, 4));  // over the limit
}

}  // namespace
}  // namespace tz
