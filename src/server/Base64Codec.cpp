#include "server/Base64Codec.h"

#include <array>
#include <cstdint>

namespace vorn {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Sextet value of each byte, or -1 outside the alphabet.
constexpr std::array<std::int8_t, 256> MakeValues() {
    std::array<std::int8_t, 256> values{};
    values.fill(-1);
    for (int i = 0; i < 64; ++i) {
        values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    }
    return values;
}
constexpr std::array<std::int8_t, 256> kValues = MakeValues();

}  // namespace

std::string Base64Codec::Encode(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size() / 3 * 4 + bytes.size() / 57 * 2 + 4);
    std::size_t i = 0;
    std::size_t lineLength = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                                    static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                                    static_cast<unsigned char>(bytes[i + 2]);
        text += kAlphabet[group >> 18 & 63];
        text += kAlphabet[group >> 12 & 63];
        text += kAlphabet[group >> 6 & 63];
        text += kAlphabet[group & 63];
        lineLength += 4;
        if (lineLength == kLineLength) {
            text += "\r\n";
            lineLength = 0;
        }
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2) {
            group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        }
        text += kAlphabet[group >> 18 & 63];
        text += kAlphabet[group >> 12 & 63];
        text += rest == 2 ? kAlphabet[group >> 6 & 63] : '=';
        text += '=';
    }
    return text;
}

std::string Base64Codec::Decode(const std::string& text) {
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    std::uint32_t group = 0;
    int count = 0;
    for (const char c : text) {
        if (c == '=') {
            break;
        }
        const std::int8_t value = kValues[static_cast<unsigned char>(c)];
        if (value < 0) {
            continue;
        }
        group = group << 6 | static_cast<std::uint32_t>(value);
        if (++count == 4) {
            bytes += static_cast<char>(group >> 16 & 255);
            bytes += static_cast<char>(group >> 8 & 255);
            bytes += static_cast<char>(group & 255);
            group = 0;
            count = 0;
        }
    }
    if (count == 2) {
        bytes += static_cast<char>(group >> 4 & 255);
    } else if (count == 3) {
        bytes += static_cast<char>(group >> 10 & 255);
        bytes += static_cast<char>(group >> 2 & 255);
    }
    return bytes;
}

}  // namespace vorn
