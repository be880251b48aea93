#include "download/FileSink.h"

#include <gtest/gtest.h>

#include <ostream>

#include "tests/support/TempDir.h"

namespace vorn {
namespace {

TEST(FileSinkTest, BlocksArriveWholeAndInOrder) {
    test::TempDir dir;
    const std::string path = dir / "out.bin";
    std::string expected;
    {
        FileSink sink(4096);  // small, so the test crosses many buffer fills
        ASSERT_TRUE(sink.Open(path));
        std::ostream out(&sink);
        for (int block = 0; block < 300; ++block) {
            std::string data(1024, static_cast<char>('a' + block % 26));
            data[0] = static_cast<char>(block);
            out.write(data.data(), static_cast<std::streamsize>(data.size()));
            expected += data;
        }
        out.write("tail", 4);
        expected += "tail";
        out.flush();
        EXPECT_TRUE(out.good());
        EXPECT_TRUE(sink.Close());
    }
    EXPECT_EQ(test::ReadFile(path), expected);
}

TEST(FileSinkTest, AFullDiskMakesTheStreamBadAndTheCloseFail) {
    FileSink sink(2048);
    ASSERT_TRUE(sink.Open("/dev/full"));
    std::ostream out(&sink);
    const std::string block(1024, 'x');
    for (int i = 0; i < 4; ++i) out.write(block.data(), 1024);
    EXPECT_FALSE(out.good());
    EXPECT_FALSE(sink.Close());
}

TEST(FileSinkTest, AFileThatCannotBeMadeIsRefused) {
    FileSink sink;
    EXPECT_FALSE(sink.Open("/proc/no/such/folder/file"));
    EXPECT_FALSE(sink.IsOpen());
}

}  // namespace
}  // namespace vorn
