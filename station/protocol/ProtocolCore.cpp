#include "station/protocol/ProtocolCore.h"

#include "station/protocol/Base64Text.h"

#include <cryptopp/aes.h>
#include <cryptopp/modes.h>

#include <algorithm>
#include <exception>

namespace vorn::station {
namespace {

constexpr const char* kBlankLine = "\r\n\r\n";

std::string BuildKeyExchangeReply(const StationKey& key, const BuildInfo& builds) {
    return "<type>PublicKeyResponse</type><pubkey>" + key.PublicKeyBase64() +
           "</pubkey><builds><build><platform>windows</platform><min>" + std::to_string(builds.minBuild) +
           "</min><latest>" + std::to_string(builds.latestBuild) + "</latest></build></builds>";
}

bool IsTokenCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '=' || c == '\r' || c == '\n';
}

}  // namespace

void ProtocolCore::SharedRandom::GenerateBlock(CryptoPP::byte* output, size_t size) {
    std::lock_guard lock(mutex_);
    pool_.GenerateBlock(output, size);
}

ProtocolCore::ProtocolCore(const StationKey& key, RequestHandler& handler, BuildInfo builds)
    : key_(key), handler_(handler), keyExchangeReply_(BuildKeyExchangeReply(key, builds)) {}

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

bool ProtocolCore::Respond(const std::string& target, std::string& response, std::string& error) const {
    response.clear();
    error.clear();
    try {
        std::string path = target;
        if (path.rfind("http://", 0) == 0) {
            const std::size_t slash = path.find('/', 7);
            path = slash == std::string::npos ? "/" : path.substr(slash);
        }
        if (path.empty() || path.front() != '/') {
            error = "the request target does not begin with \"/\"";
            return false;
        }
        if (path == "/") {
            response = keyExchangeReply_ + kBlankLine;
            return true;
        }
        std::string clientKey;
        std::string xml;
        if (!DecryptRequest(path.substr(1), clientKey, xml, error)) {
            return false;
        }
        const std::string reply = handler_.HandleRequest(xml);
        if (!reply.empty()) {
            response = EncryptReply(clientKey, reply) + kBlankLine;
        }
        return true;
    } catch (const std::exception& e) {
        response.clear();
        error = std::string("request failed: ") + e.what();
        return false;
    } catch (...) {  // a handler may throw anything; the station must go on serving
        response.clear();
        error = "request failed";
        return false;
    }
}

bool ProtocolCore::DecryptRequest(const std::string& token, std::string& clientKey, std::string& xml,
                                  std::string& error) const {
    if (!std::all_of(token.begin(), token.end(), IsTokenCharacter)) {
        error = "the token holds characters outside URL-safe base64";
        return false;
    }
    const std::string bytes = Base64Text::Decode(token);
    if (bytes.size() < kKeyBlockSize + CryptoPP::AES::BLOCKSIZE ||
        (bytes.size() - kKeyBlockSize) % CryptoPP::AES::BLOCKSIZE != 0) {
        error = "a token of " + std::to_string(bytes.size()) +
                " bytes is not a key block followed by whole cipher blocks";
        return false;
    }

    const auto* data = reinterpret_cast<const CryptoPP::byte*>(bytes.data());
    const CryptoPP::Integer sealed(data, kKeyBlockSize);
    const CryptoPP::InvertibleRSAFunction& privateKey = key_.PrivateKey();
    if (sealed >= privateKey.GetModulus()) {
        error = "the key block is not below the modulus";
        return false;
    }
    CryptoPP::Integer opened;
    if (!rsa_.Invert(random_, sealed, opened)) {
        error = "the private-key operation failed its check";
        return false;
    }
    std::string block(kKeyBlockSize, '\0');
    opened.Encode(reinterpret_cast<CryptoPP::byte*>(block.data()), kKeyBlockSize);
    if (block.compare(0, 4, std::string("\x10\x00\x00\x00", 4)) != 0) {
        error = "the key block does not announce a 16-byte client key";
        return false;
    }
    clientKey = block.substr(4, kClientKeySize);

    // The body: AES-128 blocks on their own (ECB), PKCS#7 padded. Worked on
    // directly, since a filter chain per request costs more than the cipher.
    CryptoPP::ECB_Mode<CryptoPP::AES>::Decryption decryption(
        reinterpret_cast<const CryptoPP::byte*>(clientKey.data()), clientKey.size());
    xml.assign(bytes, kKeyBlockSize, std::string::npos);
    auto* body = reinterpret_cast<CryptoPP::byte*>(xml.data());
    decryption.ProcessData(body, body, xml.size());
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

std::string ProtocolCore::EncryptReply(const std::string& clientKey, const std::string& xml) {
    CryptoPP::ECB_Mode<CryptoPP::AES>::Encryption encryption(
        reinterpret_cast<const CryptoPP::byte*>(clientKey.data()), clientKey.size());
    const std::size_t pad = CryptoPP::AES::BLOCKSIZE - xml.size() % CryptoPP::AES::BLOCKSIZE;  // 1 to 16
    std::string cipher = xml;
    cipher.append(pad, static_cast<char>(pad));
    auto* body = reinterpret_cast<CryptoPP::byte*>(cipher.data());
    encryption.ProcessData(body, body, cipher.size());
    const std::string base64 = Base64Text::Encode(cipher);
    std::string lines;
    lines.reserve(base64.size() + base64.size() / kReplyLineLength * 2);
    for (std::size_t at = 0; at < base64.size(); at += kReplyLineLength) {
        if (at > 0) {
            lines += "\r\n";
        }
        lines.append(base64, at, kReplyLineLength);
    }
    return lines;
}

}  // namespace vorn::station
