// Reply tokens: base64 decoding and AES decryption of what a server sends back,
// with a client key fixed by an injected random source. The first byte picks
// how the rest is used:
//   0  a raw reply token, as it arrives from the network;
//   1  reply XML, encrypted here with the fixed key (PKCS#7, as a station pads)
//      and encoded with the client's coder, which must decrypt to the XML and
//      its padding exactly; the XML is then read the way the engine reads it;
//   2  bytes for the base64 coder alone: Decode(Encode(x)) == x, and Decode of
//      the bytes as text.

#include <cryptopp/aes.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>

#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "server/Base64Codec.h"
#include "server/CryptoContext.h"
#include "server/Recommendation.h"
#include "server/VornClientEngine.h"
#include "tests/server/TokenVectors.h"
#include "xml/XmlElement.h"

namespace {

using namespace vorn;
using fuzz::Check;

CryptoContext& Context() {
    static fuzz::FixedRandom random(test::vectors::kClientKey);
    static std::unique_ptr<CryptoContext> context = CryptoContext::Create(random);
    Check(context != nullptr, "a context from a fixed source");
    return *context;
}

// The reads the engine makes on the replies it receives: a user id, and the
// walk over a recommendations reply (the engine's own).
void ReadLikeTheEngine(XmlElement reply) {
    (void)reply.HasChild("userid");
    (void)reply.ChildInt("userid");
    XmlElement walked(reply.Text());
    VornClientEngine::RecommendationList list;
    (void)VornClientEngine::ReadRecommendations(walked, list);
    for (const auto& recommendation : list) {
        Check(recommendation->IsComplete(), "only complete recommendations are kept");
        (void)recommendation->ToXml();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const int mode = data[0] % 3;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (mode == 0) {
        XmlElement reply = Context().DecryptResponse(rest);
        Check(reply.Text().size() % CryptoContext::kCipherBlockSize == 0, "whole blocks only");
        ReadLikeTheEngine(reply);
    } else if (mode == 1) {
        const std::string token = Base64Codec::Encode(fuzz::EncryptPadded(test::vectors::kClientKey, rest));
        XmlElement reply = Context().DecryptResponse(token);
        const std::size_t pad = 16 - rest.size() % 16;
        Check(reply.Text() == rest + std::string(pad, static_cast<char>(pad)), "a reply decrypts to its XML");
        ReadLikeTheEngine(reply);
    } else {
        Check(Base64Codec::Decode(Base64Codec::Encode(rest)) == rest, "base64 round trip");
        const std::string decoded = Base64Codec::Decode(rest);
        Check(decoded.size() <= rest.size(), "decoding never grows");
    }
    return 0;
}
