#pragma once

#include <gtest/gtest.h>

#include "station/store/StationStore.h"
#include "tests/station/support/StationTestSupport.h"

namespace vorn::station::test {

// What a scan writes of its changes, the same in every store: the items and
// files named change, nothing else does, and the ids stay.
inline void ExpectScanUpdatesChangeOnlyWhatTheyName(StationStore& store) {
    std::vector<ItemRecord> items = {FakeItem(1, "A", "B", "C"), FakeItem(2, "D", "E", "F"),
                                     FakeItem(3, "G", "H", "I")};
    for (std::size_t at = 0; at < items.size(); ++at) {
        items[at].content = 100 + at;
    }
    ASSERT_TRUE(store.SyncItems(items));

    // One retitled, one new, one gone.
    std::vector<ItemRecord> changed = {items[0], FakeItem(4, "J", "K", "L")};
    changed[0].title = "Retitled";
    changed[1].content = 104;
    ASSERT_TRUE(store.UpdateItems(changed, {items[2].id}));
    EXPECT_EQ(changed[0].id, items[0].id);
    EXPECT_GT(changed[1].id, items[2].id);
    std::vector<ItemRecord> stored = store.LoadItems();
    ASSERT_EQ(stored.size(), 4u);
    EXPECT_EQ(stored[0].title, "Retitled");
    EXPECT_EQ(stored[1], items[1]);
    EXPECT_FALSE(stored[2].present);
    EXPECT_TRUE(stored[3].present);
    EXPECT_EQ(stored[3].artist, "J");
    std::vector<ItemRecord> none;
    EXPECT_TRUE(store.UpdateItems(none, {}));
    EXPECT_EQ(store.LoadItems(), stored);

    // Found again: the same id, by its content key, and present.
    std::vector<ItemRecord> back = {items[2]};
    back[0].id = 0;
    ASSERT_TRUE(store.UpdateItems(back, {}));
    EXPECT_EQ(back[0].id, items[2].id);
    EXPECT_TRUE(store.LoadItems()[2].present);

    FileRecord first{"/music/1.mp3", 1001, 5, SkipReason::None, items[0].id, "mp3", 128, 100};
    FileRecord broken{"/music/\xff.mp3", 20, 5, SkipReason::Unreadable, 0, "", 0, 0};
    FileRecord third{"/music/3.mp3", 1003, 5, SkipReason::None, items[2].id, "mp3", 128, 102};
    ASSERT_TRUE(store.UpdateFiles({first, broken, third}, {}));
    first.modified = 6;
    first.bitrate = 192;
    ASSERT_TRUE(store.UpdateFiles({first}, {broken.path}));
    EXPECT_EQ(store.LoadFiles(), (std::vector<FileRecord>{first, third}));
    EXPECT_TRUE(store.UpdateFiles({}, {}));
    EXPECT_EQ(store.LoadFiles().size(), 2u);
}

}  // namespace vorn::station::test
