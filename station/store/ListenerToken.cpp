#include "station/store/ListenerToken.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

#include <cryptopp/sha.h>

namespace vorn::station {
namespace {

constexpr std::size_t kTokenBytes = 16;
constexpr char kHex[] = "0123456789abcdef";

std::string Hex(const unsigned char* bytes, std::size_t count) {
    std::string out;
    out.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 0x0f];
    }
    return out;
}

}  // namespace

std::string ListenerToken::Generate() {
    unsigned char bytes[kTokenBytes];
    std::size_t filled = 0;
    while (filled < kTokenBytes) {
        const ssize_t got = ::getrandom(bytes + filled, kTokenBytes - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return {};
        }
        filled += static_cast<std::size_t>(got);
    }
    return Hex(bytes, kTokenBytes);
}

bool ListenerToken::IsWellFormed(std::string_view text) {
    unsigned bad = text.size() == kTokenBytes * 2 ? 0u : 1u;
    for (char c : text) {
        const bool digit = c >= '0' && c <= '9';
        const bool letter = c >= 'a' && c <= 'f';
        bad |= (digit || letter) ? 0u : 1u;
    }
    return bad == 0;
}

std::string ListenerToken::LookupKey(std::string_view token) {
    unsigned char digest[CryptoPP::SHA256::DIGESTSIZE];
    CryptoPP::SHA256().CalculateDigest(digest, reinterpret_cast<const CryptoPP::byte*>(token.data()), token.size());
    return Hex(digest, sizeof digest);
}

bool ListenerToken::Equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    // Read through a volatile so the loop cannot be cut short by the compiler.
    volatile unsigned char result = difference;
    return result == 0;
}

}  // namespace vorn::station
