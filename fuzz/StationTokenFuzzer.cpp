// The station's request-token decryption (ProtocolCore::Respond with the fixed
// key pair), behind an echoing handler. The first byte picks the input's use:
//   0  the request target exactly as received ("/<token>", "http://...", "/");
//   1  a key block plaintext (the first 128 bytes) and a ciphertext body (the
//      rest), the block sealed here with the station's public key, so that the
//      key block checks see chosen values;
//   2  a body plaintext under a well-formed key block with the fixed client key,
//      encrypted here without padding, so that the padding checks see chosen
//      bytes. A body the station accepts must be the handler's XML plus valid
//      padding, and the reply must decrypt (client side) to that XML.

#include <cryptopp/aes.h>
#include <cryptopp/integer.h>
#include <cryptopp/modes.h>
#include <cryptopp/rsa.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "fuzz/StationFixture.h"
#include "server/Base64Codec.h"
#include "server/CryptoContext.h"

namespace {

using namespace vorn;

class EchoHandler : public station::RequestHandler {
public:
    station::HandlerResult HandleRequest(const std::string& requestXml) override {
        last = requestXml;
        return station::HandlerResult::Reply(requestXml);
    }
    std::string last;
};

EchoHandler& Handler() {
    static EchoHandler handler;
    return handler;
}

const station::ProtocolCore& Core() {
    static station::ProtocolCore core(fuzz::FixedStationKey(), Handler(), station::BuildInfo{});
    return core;
}

CryptoContext& Client() {
    static fuzz::FixedRandom random(test::vectors::kClientKey);
    static std::unique_ptr<CryptoContext> context = CryptoContext::Create(random);
    return *context;
}

// "/" + URL-safe base64 of the sealed key block and the body, as a client sends it.
std::string Target(std::string keyBlock, const std::string& body) {
    keyBlock.resize(station::ProtocolCore::kKeyBlockSize, '\0');
    const CryptoPP::RSAFunction publicKey(fuzz::FixedStationKey().PrivateKey());
    const CryptoPP::Integer sealed = publicKey.ApplyFunction(
        CryptoPP::Integer(reinterpret_cast<const CryptoPP::byte*>(keyBlock.data()), keyBlock.size()) %
        publicKey.GetModulus());
    std::string bytes(station::ProtocolCore::kKeyBlockSize, '\0');
    sealed.Encode(reinterpret_cast<CryptoPP::byte*>(bytes.data()), bytes.size());
    std::string token = Base64Codec::Encode(bytes + body);
    std::replace(token.begin(), token.end(), '+', '-');
    std::replace(token.begin(), token.end(), '/', '_');
    return "/" + token;
}

std::string EncryptWithoutPadding(const std::string& plain) {
    const std::string& key = test::vectors::kClientKey;
    CryptoPP::ECB_Mode<CryptoPP::AES>::Encryption aes(reinterpret_cast<const CryptoPP::byte*>(key.data()),
                                                      key.size());
    std::string whole = plain;
    whole.resize((plain.size() + 15) / 16 * 16, '\0');
    std::string cipher(whole.size(), '\0');
    aes.ProcessData(reinterpret_cast<CryptoPP::byte*>(cipher.data()),
                    reinterpret_cast<const CryptoPP::byte*>(whole.data()), whole.size());
    return cipher;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const int mode = data[0] % 3;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string target;
    std::string plain;
    if (mode == 0) {
        target = rest;
    } else if (mode == 1) {
        const std::size_t split = std::min<std::size_t>(rest.size(), station::ProtocolCore::kKeyBlockSize);
        target = Target(rest.substr(0, split), rest.substr(split));
    } else {
        std::string keyBlock("\x10\x00\x00\x00", 4);
        keyBlock += test::vectors::kClientKey;
        keyBlock += std::string(108, '\x5a');
        plain = rest;
        plain.resize((plain.size() + 15) / 16 * 16, '\0');
        target = Target(keyBlock, EncryptWithoutPadding(plain));
    }

    Handler().last.clear();
    std::string response;
    std::string error;
    const bool ok = Core().Respond(target, response, error) == station::ProtocolOutcome::Answer;
    fuzz::Check(ok || !error.empty(), "a refusal has a reason");
    fuzz::Check(ok || response.empty(), "a refusal sends nothing");
    if (ok && !response.empty()) {
        fuzz::Check(response.ends_with("\r\n\r\n"), "an answer ends with one empty line");
        fuzz::Check(response.find("\r\n\r\n") == response.size() - 4, "and holds no other");
    }
    if (mode == 2 && ok && !Handler().last.empty()) {
        const std::string& xml = Handler().last;
        const std::size_t pad = plain.size() - xml.size();
        fuzz::Check(pad >= 1 && pad <= 16 && plain.compare(0, xml.size(), xml) == 0 &&
                        plain.substr(xml.size()) == std::string(pad, static_cast<char>(pad)),
                    "an accepted body is the XML plus valid padding");
        const std::string reply = Client().DecryptResponse(response.substr(0, response.size() - 4)).Text();
        const std::size_t replyPad = 16 - xml.size() % 16;
        fuzz::Check(reply == xml + std::string(replyPad, static_cast<char>(replyPad)),
                    "the reply decrypts to the handler's XML");
    }
    return 0;
}
