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
#include <algorithm>
#include <random>
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
        // Cut into lines: Crypto++ breaks with LF alone, the replies with CRLF.
        std::string lines;
        CryptoPP::StringSource(bytes, true,
                               new CryptoPP::Base64Encoder(new CryptoPP::StringSink(lines), true, 8));
        while (!lines.empty() && lines.back() == '\n') {
            lines.pop_back();
        }
        for (std::size_t at = lines.find('\n'); at != std::string::npos; at = lines.find('\n', at + 2)) {
            lines.insert(at, 1, '\r');
        }
        EXPECT_EQ(Base64Text::Encode(bytes, 8), lines) << length << " bytes";
    }
}

// The request tokens' decoder as it was (URL-safe letters swapped back, then
// Crypto++'s decoder, which skips what is not in its alphabet) is the
// reference: any text the clients send decodes to the same bytes.
TEST(Base64TextTest, DecodesTokensAsCryptoppDoesWhateverStandsBetweenTheLetters) {
    std::mt19937 generator(7);
    const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_+/";
    const std::string between = "=\r\n";
    for (int round = 0; round < 400; ++round) {
        std::string text;
        const std::size_t length = generator() % 120;
        for (std::size_t k = 0; k < length; ++k) {
            text += generator() % 8 == 0 ? between[generator() % between.size()] : letters[generator() % letters.size()];
        }
        std::string standard = text;
        std::replace(standard.begin(), standard.end(), '-', '+');
        std::replace(standard.begin(), standard.end(), '_', '/');
        std::string expected;
        CryptoPP::StringSource(standard, true, new CryptoPP::Base64Decoder(new CryptoPP::StringSink(expected)));
        EXPECT_EQ(Base64Text::Decode(text), expected) << text;
    }
    EXPECT_EQ(Base64Text::Decode(Base64Text::Encode("any carnal pleasure.")), "any carnal pleasure.");
}

}  // namespace
}  // namespace vorn::station
