#include "station/media/Mp3Cache.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/station/support/StationTestSupport.h"
#include "tests/support/TempDir.h"

namespace vorn::station::test {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFile = 100 * 1024;

// A made MP3 of kFile bytes last used `age` seconds ago.
void Made(const std::string& path, int age) {
    vorn::test::WriteFile(path, std::string(kFile, 'x'));
    const timespec used[2] = {{::time(nullptr) - age, 0}, {::time(nullptr) - age, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), used, 0), 0);
}

// What a station finds at its start: files half made when it stopped are
// deleted, and a cache above its (lowered) limit gives up the files used
// least recently, by the times a use leaves on them.
TEST(Mp3CacheTest, AtStartLeftoversGoAndALowerLimitTrimsTheLeastRecentlyUsed) {
    CapturedLog log;
    vorn::test::TempDir dir;
    const std::string folder = dir / "cache";
    fs::create_directories(folder);
    Made(folder + "/1-10-100.mp3", 300);
    Made(folder + "/2-20-200.mp3", 100);
    Made(folder + "/3-30-300.mp3", 200);
    vorn::test::WriteFile(folder + "/4-40-400.part", "half made");
    vorn::test::WriteFile(folder + "/5-50-500.mp3", "");
    vorn::test::WriteFile(folder + "/notes.txt", "not ours");
    std::string error;
    {
        Mp3Cache cache(folder, 2 * kFile + kFile / 2);
        ASSERT_TRUE(cache.Open(error)) << error;
        EXPECT_EQ(cache.Files(), 2u);
        EXPECT_EQ(cache.Bytes(), 2 * kFile);
        EXPECT_FALSE(fs::exists(folder + "/1-10-100.mp3"));
        EXPECT_FALSE(fs::exists(folder + "/4-40-400.part"));
        EXPECT_FALSE(fs::exists(folder + "/5-50-500.mp3"));
        EXPECT_TRUE(fs::exists(folder + "/notes.txt"));
        UniqueFd file;
        std::uint64_t length = 0;
        ASSERT_TRUE(cache.Take("3-30-300", file, length));
        EXPECT_EQ(length, kFile);
        EXPECT_FALSE(cache.Take("1-10-100", file, length));
    }
    Mp3Cache smaller(folder, kFile);
    ASSERT_TRUE(smaller.Open(error)) << error;
    EXPECT_TRUE(smaller.Has("3-30-300"));  // used last, in the run before
    EXPECT_FALSE(smaller.Has("2-20-200"));
    EXPECT_FALSE(fs::exists(folder + "/2-20-200.mp3"));
    EXPECT_TRUE(log.Contains("Mp3Cache : 1 MP3s made before, 0.1 MB of at most 0.1 MB"));
}

}  // namespace
}  // namespace vorn::station::test
