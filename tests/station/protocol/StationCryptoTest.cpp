// The station's own pieces of its crypto: the private operation with reused
// blinding values opens what the public key sealed, through many refreshes of
// its pairs and from several threads at once; the reply tokens' base64 is
// Crypto++'s, byte for byte.
#include "station/protocol/BlindedRsa.h"
#include "station/protocol/Base64Text.h"

#include <gtest/gtest.h>

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/osrng.h>

#include <atomic>
#include <thread>
#include <vector>

#include "station/protocol/StationKey.h"

namespace vorn::station {
namespace {

TEST(BlindedRsaTest, ManyUsesFromSeveralThreadsAllOpenWhatThePublicKeySealed) {
    const std::optional<StationKey> key = StationKey::Generate();
    ASSERT_TRUE(key);
    const CryptoPP::InvertibleRSAFunction& rsa = key->PrivateKey();
    BlindedRsa blinded(rsa);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            CryptoPP::AutoSeededRandomPool random;
            // Past several refreshes of each thread's pair.
            for (int i = 0; i < 3 * BlindedRsa::kUsesPerPair; ++i) {
                const CryptoPP::Integer message(random, CryptoPP::Integer::One(), rsa.GetModulus() - 1);
                CryptoPP::Integer opened;
                if (!blinded.Invert(random, rsa.ApplyFunction(message), opened) || opened != message) ++wrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);

    // Zero and one are their own roots; the check passes for them too.
    CryptoPP::AutoSeededRandomPool random;
    CryptoPP::Integer opened;
    EXPECT_TRUE(blinded.Invert(random, CryptoPP::Integer::Zero(), opened));
    EXPECT_EQ(opened, CryptoPP::Integer::Zero());
    EXPECT_TRUE(blinded.Invert(random, CryptoPP::Integer::One(), opened));
    EXPECT_EQ(opened, CryptoPP::Integer::One());
}

TEST(Base64TextTest, EncodesAsCryptoppDoesForEveryTailLength) {
    CryptoPP::AutoSeededRandomPool random;
    for (std::size_t length = 0; length < 100; ++length) {
        std::string bytes(length, '\0');
        random.GenerateBlock(reinterpret_cast<CryptoPP::byte*>(bytes.data()), length);
        std::string expected;
        CryptoPP::StringSource(bytes, true, new CryptoPP::Base64Encoder(new CryptoPP::StringSink(expected), false));
        EXPECT_EQ(Base64Text::Encode(bytes), expected) << length << " bytes";
    }
}

}  // namespace
}  // namespace vorn::station
