#pragma once

#include <string>
#include <string_view>

namespace vorn::station {

// The secret in a listener's page link, /listener/<token>: 128 bits from the
// kernel's cryptographic random source, written as 32 lowercase hex digits.
// Whoever holds it sees what the listener rated, so it is never derived from
// the listener id and is checked without telling by its timing how much of a
// guess was right: a lookup goes by the SHA-256 of the token (LookupKey), so
// how far an index search runs says nothing about the token itself, and the
// stored token is then compared in constant time (Equal).
class ListenerToken {
public:
    // A fresh token, or "" when the random source failed.
    static std::string Generate();
    // True for exactly 32 lowercase hex digits; looks at every character.
    static bool IsWellFormed(std::string_view text);
    // The hex SHA-256 of `token`: what the store indexes and looks up.
    static std::string LookupKey(std::string_view token);
    // Equality whose time depends only on the lengths.
    static bool Equal(std::string_view a, std::string_view b);
};

}  // namespace vorn::station
