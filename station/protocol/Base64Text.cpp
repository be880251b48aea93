#include "station/protocol/Base64Text.h"

namespace vorn::station {

std::string Base64Text::Encode(const std::string& bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t at = 0;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(bytes[i])); };
    for (; at + 3 <= bytes.size(); at += 3) {
        const unsigned group = byte(at) << 16 | byte(at + 1) << 8 | byte(at + 2);
        text += kAlphabet[group >> 18];
        text += kAlphabet[(group >> 12) & 63];
        text += kAlphabet[(group >> 6) & 63];
        text += kAlphabet[group & 63];
    }
    if (const std::size_t left = bytes.size() - at; left > 0) {
        const unsigned group = byte(at) << 16 | (left == 2 ? byte(at + 1) << 8 : 0);
        text += kAlphabet[group >> 18];
        text += kAlphabet[(group >> 12) & 63];
        text += left == 2 ? kAlphabet[(group >> 6) & 63] : '=';
        text += '=';
    }
    return text;
}

}  // namespace vorn::station
