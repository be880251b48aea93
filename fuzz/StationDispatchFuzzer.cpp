// The station's request dispatch: request XML, sealed by the client's own
// CryptoContext (fixed client key) exactly as the engine sends it, answered by
// ProtocolCore and the real StationService over a store in the harness's own
// folder. A token the client made is always accepted, and any reply decrypts
// (client side) to XML that starts with its type.
//
// The store is made afresh every 2000 inputs, so that listeners and ratings
// added by earlier inputs do not grow without bound.

#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "fuzz/StationFixture.h"
#include "server/CryptoContext.h"
#include "station/base/StationLog.h"
#include "xml/XmlElement.h"

namespace {

using namespace vorn;

constexpr int kInputsPerStore = 2000;

CryptoContext& Client() {
    static fuzz::FixedRandom random(test::vectors::kClientKey);
    static std::unique_ptr<CryptoContext> context = [] {
        auto made = CryptoContext::Create(random);
        made->LoadPublicKey(test::vectors::kPublicKeyBase64);
        return made;
    }();
    return *context;
}

fuzz::StationFixture& Station() {
    static std::unique_ptr<fuzz::StationFixture> station;
    static int inputs = 0;
    if (!station || ++inputs % kInputsPerStore == 0) {
        station.reset();
        station = std::make_unique<fuzz::StationFixture>(fuzz::Scratch::Get() / "station");
    }
    return *station;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    station::StationLog::SetSink([](LogLevel, const std::string&) {});
    fuzz::Scratch::Get();
    fuzz::Check(Client().HasPublicKey(), "the client takes the station's key");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string xml(reinterpret_cast<const char*>(data), size);
    const std::string token = Client().EncryptRequest(XmlElement(xml));
    fuzz::Check(!token.empty(), "the client seals any request");
    std::string response;
    std::string error;
    const station::ProtocolOutcome outcome = Station().Core().Respond("/" + token, response, error);
    fuzz::Check(outcome != station::ProtocolOutcome::Unusable, "a token the client made is accepted");
    // Ratings the station cannot store (for no valid listener) reset the connection.
    fuzz::Check(outcome != station::ProtocolOutcome::Reset || response.empty(), "a reset sends nothing");
    if (!response.empty()) {
        fuzz::Check(response.ends_with("\r\n\r\n"), "an answer ends with one empty line");
        XmlElement reply = Client().DecryptResponse(response.substr(0, response.size() - 4));
        fuzz::Check(reply.Text().starts_with("<type>"), "a reply starts with its type");
        (void)reply.Child("type");
    }
    return 0;
}
