#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::station {

// How both stores write the values that SQL has no type for.

// A content key as a signed 64-bit column (the same bits).
inline std::int64_t StoredKey(std::uint64_t key) { return std::bit_cast<std::int64_t>(key); }
inline std::uint64_t KeyFromStored(std::int64_t stored) { return std::bit_cast<std::uint64_t>(stored); }

// A sound print as bytes: each value little-endian, one after another.
inline std::string PrintBytes(const std::vector<std::uint32_t>& print) {
    std::string bytes;
    bytes.reserve(print.size() * 4);
    for (const std::uint32_t value : print) {
        for (int shift = 0; shift < 32; shift += 8) {
            bytes += static_cast<char>((value >> shift) & 0xFF);
        }
    }
    return bytes;
}

// Trailing bytes short of a whole value are dropped.
inline std::vector<std::uint32_t> PrintFromBytes(std::string_view bytes) {
    std::vector<std::uint32_t> print(bytes.size() / 4);
    for (std::size_t at = 0; at < print.size(); ++at) {
        for (int byte = 0; byte < 4; ++byte) {
            print[at] |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at * 4 + byte])) << (8 * byte);
        }
    }
    return print;
}

}  // namespace vorn::station
