#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

// The value types the store keeps, as the registry names them.
enum class RegistryType { None, String, Binary, Dword, MultiString };

// The content of one stored value, independent of any cache.
struct RegistryData {
    RegistryType type = RegistryType::None;
    std::string text;                  // String
    std::uint32_t dword = 0;           // Dword
    std::vector<std::uint8_t> bytes;   // Binary
    std::vector<std::string> strings;  // MultiString

    friend bool operator==(const RegistryData&, const RegistryData&) = default;
};

}  // namespace vorn
