#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace vorn::station {

// A map from ids (of items, of groups) to small values in one flat table
// (open addressing, linear probing, at most half full), for the recommender's
// per-listener lookups: each request asks it dozens of times about random
// items of a profile that is rarely in the cache, and a lookup here costs one
// cache line where a node-based map costs two or three and a division.
template <typename Value, typename Key = std::int32_t>
class FlatIdMap {
    static_assert(std::is_integral_v<Key> && sizeof(Key) == 4, "ids are 32-bit integers");

public:
    const Value* Find(Key key) const {
        if (slots_.empty()) {
            return nullptr;
        }
        for (std::size_t at = Home(key);; at = Next(at)) {
            const Slot& slot = slots_[at];
            if (!slot.used) {
                return nullptr;
            }
            if (slot.key == key) {
                return &slot.value;
            }
        }
    }
    bool Contains(Key key) const { return Find(key) != nullptr; }

    void Set(Key key, Value value) { At(key) = value; }

    // The value of `key`, added as Value{} when missing.
    Value& At(Key key) {
        if ((size_ + 1) * 2 > slots_.size()) {
            Grow();
        }
        std::size_t at = Home(key);
        while (slots_[at].used && slots_[at].key != key) {
            at = Next(at);
        }
        if (!slots_[at].used) {
            ++size_;
            slots_[at] = Slot{key, true, Value{}};
        }
        return slots_[at].value;
    }

    // Calls visit(key, value) for every entry, in no particular order.
    template <typename Visit>
    void ForEach(Visit&& visit) const {
        for (const Slot& slot : slots_) {
            if (slot.used) {
                visit(slot.key, slot.value);
            }
        }
    }

    void Erase(Key key) {
        if (slots_.empty()) {
            return;
        }
        std::size_t hole = Home(key);
        while (slots_[hole].used && slots_[hole].key != key) {
            hole = Next(hole);
        }
        if (!slots_[hole].used) {
            return;
        }
        slots_[hole].used = false;
        --size_;
        // Entries after the hole that probed past it move back into it, so
        // that every entry stays reachable from its home without markers.
        for (std::size_t at = Next(hole); slots_[at].used; at = Next(at)) {
            const std::size_t home = Home(slots_[at].key);
            const bool reachable = hole <= at ? (hole < home && home <= at) : (hole < home || home <= at);
            if (!reachable) {
                slots_[hole] = slots_[at];
                slots_[at].used = false;
                hole = at;
            }
        }
    }

    void Clear() {
        slots_.clear();
        size_ = 0;
        shift_ = 64;
    }
    std::size_t Size() const { return size_; }

private:
    struct Slot {
        Key key{};
        bool used = false;
        Value value{};
    };

    // Fibonacci hashing: the top bits of the key times 2^64 / phi.
    std::size_t Home(Key key) const {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(static_cast<std::uint32_t>(key)) *
                                         0x9E3779B97F4A7C15ull) >>
                                        shift_);
    }
    std::size_t Next(std::size_t at) const { return (at + 1) & (slots_.size() - 1); }

    void Grow() {
        std::vector<Slot> old;
        old.swap(slots_);
        const std::size_t capacity = old.empty() ? 16 : old.size() * 2;
        slots_.assign(capacity, Slot{});
        shift_ = 64;
        for (std::size_t bits = capacity; bits > 1; bits >>= 1) {
            --shift_;
        }
        size_ = 0;
        for (const Slot& slot : old) {
            if (slot.used) {
                Set(slot.key, slot.value);
            }
        }
    }

    std::vector<Slot> slots_;  // a power of two long, or empty
    std::size_t size_ = 0;
    int shift_ = 64;  // 64 - log2(slots_.size())
};

}  // namespace vorn::station
