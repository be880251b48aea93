// The private operation with reused blinding values gives what Crypto++'s own
// gives, through many refreshes of its pairs and from several threads at once.
#include "station/protocol/BlindedRsa.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vorn::station
