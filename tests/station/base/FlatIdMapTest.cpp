#include "station/base/FlatIdMap.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

namespace vorn::station {
namespace {

// Random sets, additions in place, overwrites and erases over few keys (so
// that probe runs grow long and wrap around the table's end), checked against
// the standard map after every step: an erase that strands an entry behind its
// hole shows, and so does a walk that misses or repeats an entry.
TEST(FlatIdMapTest, AgreesWithAStandardMapThroughSetsAndErases) {
    std::mt19937 random(11);
    for (const int keys : {5, 40, 300}) {
        FlatIdMap<std::uint64_t> flat;
        std::unordered_map<std::int32_t, std::uint64_t> reference;
        for (int step = 0; step < 20000; ++step) {
            const auto key = static_cast<std::int32_t>(random() % keys) - keys / 4;  // zero and negatives too
            if (random() % 3 == 0) {
                flat.Erase(key);
                reference.erase(key);
            } else if (random() % 2 == 0) {
                const std::uint64_t added = random() % 100;
                flat.At(key) += added;
                reference[key] += added;
            } else {
                const std::uint64_t value = random();
                flat.Set(key, value);
                reference[key] = value;
            }
            ASSERT_EQ(flat.Size(), reference.size()) << "step " << step;
            for (int probe = -keys / 4; probe < keys - keys / 4; ++probe) {
                const auto found = reference.find(probe);
                const std::uint64_t* value = flat.Find(probe);
                ASSERT_EQ(value != nullptr, found != reference.end()) << "key " << probe << ", step " << step;
                if (value != nullptr) {
                    ASSERT_EQ(*value, found->second) << "key " << probe;
                }
            }
        }
        std::unordered_map<std::int32_t, std::uint64_t> walked;
        flat.ForEach([&](std::int32_t key, std::uint64_t value) { EXPECT_TRUE(walked.emplace(key, value).second); });
        EXPECT_EQ(walked, reference);
        flat.Clear();
        EXPECT_EQ(flat.Size(), 0u);
        EXPECT_FALSE(flat.Contains(0));
        flat.Set(7, 1);
        EXPECT_TRUE(flat.Contains(7));
    }
}

}  // namespace
}  // namespace vorn::station
