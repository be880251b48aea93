#include "station/store/RecentRecorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "station/store/SqliteStore.h"
#include "tests/station/support/StationTestSupport.h"

namespace vorn::station::test {
namespace {

// The nice value of this process's thread named `name`, or none.
std::optional<int> NiceOfThread(const std::string& name) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string found;
        std::getline(comm, found);
        if (found != name) continue;
        std::ifstream stat(task.path() / "stat");
        const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // Fields after the command's closing ')': state is field 3, nice field 19.
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        for (int i = 3; fields >> field; ++i) {
            if (i == 19) return std::stoi(field);
        }
    }
    return std::nullopt;
}

TEST(RecentRecorderTest, WritesSoonFromALowerPriorityThreadAndAllThatIsLeftAtTheEnd) {
    vorn::test::TempDir dir;
    SqliteStore store;
    ASSERT_TRUE(store.Open(dir / "station.db"));
    {
        RecentRecorder recorder(store, 10);
        // The writer yields to the requests on a busy core.
        std::optional<int> nice;
        for (int i = 0; i < 100 && !nice; ++i) {
            nice = NiceOfThread("recent-writer");
            if (!nice) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(nice.has_value()) << "no thread named recent-writer";
        EXPECT_EQ(*nice, RecentRecorder::kWriterNice);

        // A batch reaches the store within a few of its intervals, without a flush.
        recorder.Add({{1, 7}, {1, 8}});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (store.LoadRecent(10).size() < 2 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(store.LoadRecent(10).size(), 2u);
        recorder.Add({{2, 9}});
    }
    // What was added just before the end is written by the destructor.
    const std::vector<RecentRecord> recent = store.LoadRecent(10);
    ASSERT_EQ(recent.size(), 3u);
    EXPECT_EQ(recent.back().listener, 2);
    EXPECT_EQ(recent.back().item, 9);
}

}  // namespace
}  // namespace vorn::station::test
