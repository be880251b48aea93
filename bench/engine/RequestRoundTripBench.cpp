// Cost of one encrypted request against the cost of the RSA-1024 public operation
// inside it: the client encrypts (RSA key block + AES body), sends the GET on a
// fresh loopback connection, the station decrypts (RSA private operation), answers
// with an AES reply token, and the client decrypts it.
//
//   ./build/bench/request_round_trip_bench [seconds per measurement, default 2]

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "foundation/Preferences.h"
#include "server/VornClientEngine.h"
#include "tests/server/StationPeer.h"
#include "tests/server/TokenVectors.h"
#include "tests/support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs the operation until `seconds` have passed; nanoseconds per run.
double Measure(double seconds, const std::function<bool()>& operation) {
    for (int i = 0; i < 20; ++i) {
        operation();  // warm up
    }
    long runs = 0;
    const auto start = Clock::now();
    const auto until = start + std::chrono::duration<double>(seconds);
    auto now = start;
    while (now < until) {
        if (!operation()) {
            std::fprintf(stderr, "operation failed\n");
            std::exit(1);
        }
        ++runs;
        now = Clock::now();
    }
    return std::chrono::duration<double, std::nano>(now - start).count() / static_cast<double>(runs);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;

    CryptoPP::RSAFunction publicKey;
    CryptoPP::StringSource source(vorn::test::vectors::kPublicKeyBase64, true, new CryptoPP::Base64Decoder);
    publicKey.Load(source);
    std::string block(128, '\x5a');
    block[0] = '\x10';
    const CryptoPP::Integer m(reinterpret_cast<const CryptoPP::byte*>(block.data()), block.size());
    CryptoPP::Integer sink;
    const double rsaNs = Measure(seconds, [&] {
        sink = publicKey.ApplyFunction(m);
        return !sink.IsZero();
    });

    // For reference: the station's side of the key block.
    const auto stationKey = vorn::station::StationKey::FromPem(vorn::test::vectors::kPrivateKeyPem);
    CryptoPP::AutoSeededRandomPool random;
    const CryptoPP::Integer c = publicKey.ApplyFunction(m);
    const double privateNs = Measure(seconds, [&] { return stationKey->PrivateKey().CalculateInverse(random, c) == m; });

    vorn::test::IsolatedHome home;  // the engine reads its proxy settings from here
    vorn::Preferences preferences;
    vorn::test::StationPeer peer;
    peer.SetAnswer([](const std::string&) { return "<type>NewUserRequestResponse</type><userid>1</userid>"; });
    vorn::VornClientEngine engine(&preferences);
    if (engine.Initialise("127.0.0.1", peer.Port()) != vorn::kEngineOk) {
        std::fprintf(stderr, "no key exchange with the loopback station\n");
        return 1;
    }
    const double roundTripNs = Measure(seconds, [&] {
        std::int32_t userId = 0;
        return engine.RegisterUser(userId, {{"name", "bench"}}) == vorn::kEngineOk && userId == 1;
    });

    std::printf("RSA-1024 public operation:          %10.1f us\n", rsaNs / 1000.0);
    std::printf("RSA-1024 private operation (station):%9.1f us\n", privateNs / 1000.0);
    std::printf("request round trip on loopback:     %10.1f us\n", roundTripNs / 1000.0);
    std::printf("round trip / RSA public operation:  %10.1f\n", roundTripNs / rsaNs);
    return 0;
}
