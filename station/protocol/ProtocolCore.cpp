#include "station/protocol/ProtocolCore.h"

#include "station/protocol/Base64Text.h"

#include <cryptopp/aes.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>

namespace vorn::station {
namespace {

constexpr const char* kBlankLine = "\r\n\r\n";

std::string BuildKeyExchangeReply(const StationKey& key, const BuildInfo& builds, bool ratingsAcknowledged) {
    return "<type>PublicKeyResponse</type><pubkey>" + key.PublicKeyBase64() +
           "</pubkey><builds><build><platform>windows</platform><min>" + std::to_string(builds.minBuild) +
           "</min><latest>" + std::to_string(builds.latestBuild) + "</latest></build></builds>" +
           (ratingsAcknowledged ? "<ratingsack>1</ratingsack>" : "");
}

// URL-safe base64 with its padding and the line breaks a client may fold it
// with; looked up in a table, since every request's token is checked whole.
bool IsTokenText(std::string_view token) {
    static const auto kAllowed = [] {
        std::array<bool, 256> allowed{};
        for (int c = 0; c < 256; ++c) {
            allowed[static_cast<std::size_t>(c)] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                                   (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '=' ||
                                                   c == '\r' || c == '\n';
        }
        return allowed;
    }();
    bool all = true;
    for (const char c : token) {
        all &= kAllowed[static_cast<unsigned char>(c)];
    }
    return all;
}

// The calling thread's AES object, keyed with `key`: ECB is each block on its
// own, straight through the block cipher, and a cipher object made anew for
// every request would allocate its tables each time.
template <typename Cipher>
const Cipher& KeyedCipher(const std::string& key) {
    thread_local Cipher cipher;
    cipher.SetKey(reinterpret_cast<const CryptoPP::byte*>(key.data()), key.size());
    return cipher;
}

}  // namespace

ProtocolCore::ProtocolCore(const StationKey& key, RequestHandler& handler, BuildInfo builds)
    : key_(key), handler_(handler),
      keyExchangeReply_(BuildKeyExchangeReply(key, builds, handler.AcknowledgesRatings())) {}

bool ProtocolCore::ParseRequestTarget(const std::string& head, std::string& target) {
    const std::string method = "GET ";
    const std::size_t version = head.rfind(" HTTP/1.");
    if (head.compare(0, method.size(), method) != 0 || version == std::string::npos ||
        version < method.size()) {
        return false;
    }
    target = head.substr(method.size(), version - method.size());
    return true;
}

ProtocolOutcome ProtocolCore::Respond(const std::string& target, std::string& response, std::string& error) const {
    response.clear();
    error.clear();
    try {
        std::string_view path = target;
        if (path.rfind("http://", 0) == 0) {
            const std::size_t slash = path.find('/', 7);
            path = slash == std::string_view::npos ? std::string_view("/") : path.substr(slash);
        }
        if (path.empty() || path.front() != '/') {
            error = "the request target does not begin with \"/\"";
            return ProtocolOutcome::Unusable;
        }
        if (path == "/") {
            response = keyExchangeReply_ + kBlankLine;
            return ProtocolOutcome::Answer;
        }
        std::string clientKey;
        std::string xml;
        if (!DecryptRequest(path.substr(1), clientKey, xml, error)) {
            return ProtocolOutcome::Unusable;
        }
        HandlerResult result = handler_.HandleRequest(xml);
        switch (result.kind) {
            case HandlerResult::Kind::Reset:
                return ProtocolOutcome::Reset;
            case HandlerResult::Kind::Reply:
                EncryptReply(clientKey, result.reply, response);
                response += kBlankLine;
                return ProtocolOutcome::Answer;
            case HandlerResult::Kind::Nothing:
                break;
        }
        return ProtocolOutcome::Answer;
    } catch (const std::exception& e) {
        response.clear();
        error = std::string("request failed: ") + e.what();
        return ProtocolOutcome::Unusable;
    } catch (...) {  // a handler may throw anything; the station must go on serving
        response.clear();
        error = "request failed";
        return ProtocolOutcome::Unusable;
    }
}

bool ProtocolCore::DecryptRequest(std::string_view token, std::string& clientKey, std::string& xml,
                                  std::string& error) const {
    if (!IsTokenText(token)) {
        error = "the token holds characters outside URL-safe base64";
        return false;
    }
    std::string bytes = Base64Text::Decode(token);
    if (bytes.size() < kKeyBlockSize + CryptoPP::AES::BLOCKSIZE ||
        (bytes.size() - kKeyBlockSize) % CryptoPP::AES::BLOCKSIZE != 0) {
        error = "a token of " + std::to_string(bytes.size()) +
                " bytes is not a key block followed by whole cipher blocks";
        return false;
    }

    const auto* sealed = reinterpret_cast<const unsigned char*>(bytes.data());
    std::array<unsigned char, kKeyBlockSize> opened{};
    switch (rsa_.Open(sealed, opened.data())) {
        case OpenSslRsa::Outcome::Opened:
            break;
        case OpenSslRsa::Outcome::AboveModulus:
            error = "the key block is not below the modulus";
            return false;
        case OpenSslRsa::Outcome::Failed:
            error = "the private-key operation failed";
            return false;
    }
    // The opened block: a 4-byte length (16, little-endian), then the
    // client's key.
    if (opened[0] != 0x10 || opened[1] != 0 || opened[2] != 0 || opened[3] != 0) {
        error = "the key block does not announce a 16-byte client key";
        return false;
    }
    clientKey.assign(reinterpret_cast<const char*>(opened.data()) + 4, kClientKeySize);

    // The body: AES-128 blocks on their own (ECB), PKCS#7 padded; taken
    // over from the token's bytes rather than copied.
    xml = std::move(bytes);
    xml.erase(0, kKeyBlockSize);
    auto* body = reinterpret_cast<CryptoPP::byte*>(xml.data());
    KeyedCipher<CryptoPP::AES::Decryption>(clientKey).AdvancedProcessBlocks(
        body, nullptr, body, xml.size(), CryptoPP::BlockTransformation::BT_AllowParallel);
    const std::size_t pad = static_cast<unsigned char>(xml.back());
    if (pad == 0 || pad > CryptoPP::AES::BLOCKSIZE ||
        !std::all_of(xml.end() - static_cast<std::ptrdiff_t>(pad), xml.end(),
                     [pad](char c) { return static_cast<unsigned char>(c) == pad; })) {
        xml.clear();
        error = "the request body has bad padding";
        return false;
    }
    xml.resize(xml.size() - pad);
    return true;
}

void ProtocolCore::EncryptReply(const std::string& clientKey, std::string& xml, std::string& response) {
    const std::size_t pad = CryptoPP::AES::BLOCKSIZE - xml.size() % CryptoPP::AES::BLOCKSIZE;  // 1 to 16
    xml.append(pad, static_cast<char>(pad));
    auto* body = reinterpret_cast<CryptoPP::byte*>(xml.data());
    KeyedCipher<CryptoPP::AES::Encryption>(clientKey).AdvancedProcessBlocks(
        body, nullptr, body, xml.size(), CryptoPP::BlockTransformation::BT_AllowParallel);
    // Room for the lines' breaks and the final empty line, so the text is written once.
    const std::size_t text = (xml.size() + 2) / 3 * 4;
    response.reserve(response.size() + text + text / kReplyLineLength * 2 + std::strlen(kBlankLine));
    Base64Text::AppendEncoded(xml, kReplyLineLength, response);
}

}  // namespace vorn::station
