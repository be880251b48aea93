#include "station/protocol/Base64Text.h"

#include <array>

namespace vorn::station {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string Base64Text::Encode(std::string_view bytes, std::size_t lineLength) {
    std::string text;
    AppendEncoded(bytes, lineLength, text);
    return text;
}

void Base64Text::AppendEncoded(std::string_view bytes, std::size_t lineLength, std::string& text) {
    const std::size_t length = (bytes.size() + 2) / 3 * 4;
    const std::size_t breaks = lineLength == 0 || length == 0 ? 0 : (length - 1) / lineLength;
    const std::size_t start = text.size();
    text.append(length + 2 * breaks, '=');
    char* out = text.data() + start;
    std::size_t column = 0;
    // Four characters at a time; a line break goes before a group that would
    // start a full line's worth past the last one.
    const auto put = [&](char a, char b, char c, char d) {
        if (breaks != 0 && column == lineLength) {
            *out++ = '\r';
            *out++ = '\n';
            column = 0;
        }
        out[0] = a;
        out[1] = b;
        out[2] = c;
        out[3] = d;
        out += 4;
        column += 4;
    };
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t at = 0;
    for (; at + 3 <= bytes.size(); at += 3) {
        const unsigned group = static_cast<unsigned>(in[at]) << 16 | static_cast<unsigned>(in[at + 1]) << 8 | in[at + 2];
        put(kAlphabet[group >> 18], kAlphabet[(group >> 12) & 63], kAlphabet[(group >> 6) & 63], kAlphabet[group & 63]);
    }
    if (const std::size_t left = bytes.size() - at; left > 0) {
        const unsigned group = static_cast<unsigned>(in[at]) << 16 | (left == 2 ? static_cast<unsigned>(in[at + 1]) << 8 : 0);
        put(kAlphabet[group >> 18], kAlphabet[(group >> 12) & 63], left == 2 ? kAlphabet[(group >> 6) & 63] : '=', '=');
    }
}

std::string Base64Text::Decode(std::string_view text) {
    static const auto kValues = [] {
        std::array<signed char, 256> values{};
        values.fill(-1);
        for (std::size_t k = 0; k + 1 < sizeof kAlphabet; ++k) {
            values[static_cast<unsigned char>(kAlphabet[k])] = static_cast<signed char>(k);
        }
        values['-'] = 62;
        values['_'] = 63;
        return values;
    }();
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3 + 3);
    unsigned bits = 0;
    int held = 0;  // bits waiting in `bits`
    for (const char c : text) {
        const int value = kValues[static_cast<unsigned char>(c)];
        if (value < 0) {
            continue;
        }
        bits = (bits << 6) | static_cast<unsigned>(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            bytes += static_cast<char>((bits >> held) & 0xff);
        }
    }
    return bytes;
}

}  // namespace vorn::station
