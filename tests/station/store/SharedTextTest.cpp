#include "station/store/SharedText.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace vorn::station::test {
namespace {

TEST(SharedTextTest, EqualTextsAreKeptOnceAndFreedWithTheirLastHolder) {
    const SharedText empty;  // "" is kept for good
    const std::size_t before = SharedText::Kept();
    SharedText a("Northern Lantern");
    SharedText b(std::string("Northern ") + "Lantern");
    EXPECT_EQ(&a.str(), &b.str());
    EXPECT_EQ(SharedText::Kept(), before + 1);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, "Northern Lantern");
    EXPECT_EQ("Artist: " + a, "Artist: Northern Lantern");

    b = "Paper Winter";
    EXPECT_EQ(a, "Northern Lantern");
    EXPECT_EQ(b, "Paper Winter");
    EXPECT_FALSE(a == b);
    EXPECT_EQ(SharedText::Kept(), before + 2);
    {
        const SharedText copy = a;
        a = b;
        EXPECT_EQ(copy, "Northern Lantern");
        EXPECT_EQ(SharedText::Kept(), before + 2);
    }
    // The copy held "Northern Lantern" last.
    EXPECT_EQ(SharedText::Kept(), before + 1);
    a.clear();
    b = "";
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(&a.str(), &empty.str());
    EXPECT_EQ(SharedText::Kept(), before);
}

// Threads that take and drop the same texts never free one that another
// still holds or is about to take (the address sanitizer's build sees it).
TEST(SharedTextTest, HoldersOnManyThreadsKeepTheirTexts) {
    const std::size_t before = SharedText::Kept();
    const SharedText kept("Static Echo");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&kept, t] {
            for (int n = 0; n < 20000; ++n) {
                SharedText passing(n % 2 == 0 ? "Velvet Signal" : "Cobalt Meadow");
                SharedText copy = kept;
                passing = copy;
                if (passing != "Static Echo" || SharedText(std::to_string(t)) != std::to_string(t)) {
                    ADD_FAILURE() << "a text changed under its holder";
                    return;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(kept, "Static Echo");
    EXPECT_EQ(SharedText::Kept(), before + 1);
}

}  // namespace
}  // namespace vorn::station::test
