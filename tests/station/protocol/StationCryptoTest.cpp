// The station's own pieces of its crypto: OpenSSL's private operation opens
// what Crypto++'s public key sealed, from several threads at once, and never
// hands out a faulty result; the reply tokens' base64 is Crypto++'s, byte for
// byte.
#include "station/protocol/OpenSslRsa.h"
#include "station/protocol/Base64Text.h"

#include <gtest/gtest.h>

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/osrng.h>

#include <array>
#include <atomic>
#include <algorithm>
#include <random>
#include <thread>
#include <vector>

#include "station/protocol/StationKey.h"

namespace vorn::station {
namespace {

using Block = std::array<unsigned char, OpenSslRsa::kBlockSize>;

Block BlockOf(const CryptoPP::Integer& number) {
    Block block{};
    number.Encode(block.data(), block.size());
    return block;
}

TEST(OpenSslRsaTest, OpensWhatThePublicKeySealedFromSeveralThreadsAtOnce) {
    const std::optional<StationKey> key = StationKey::Generate();
    ASSERT_TRUE(key);
    const CryptoPP::InvertibleRSAFunction& rsa = key->PrivateKey();
    OpenSslRsa openSsl(rsa);
    ASSERT_TRUE(openSsl.Usable());
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            CryptoPP::AutoSeededRandomPool random;
            // Past several renewals of the key's blinding values.
            for (int i = 0; i < 100; ++i) {
                const CryptoPP::Integer message(random, CryptoPP::Integer::One(), rsa.GetModulus() - 1);
                const Block sealed = BlockOf(rsa.ApplyFunction(message));
                Block opened{};
                if (openSsl.Open(sealed.data(), opened.data()) != OpenSslRsa::Outcome::Opened ||
                    opened != BlockOf(message)) {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);

    // Zero, one and n - 1 are their own roots; the modulus and above are no block.
    const CryptoPP::Integer& n = rsa.GetModulus();
    for (const CryptoPP::Integer& own : {CryptoPP::Integer::Zero(), CryptoPP::Integer::One(), n - 1}) {
        Block opened{};
        EXPECT_EQ(openSsl.Open(BlockOf(own).data(), opened.data()), OpenSslRsa::Outcome::Opened) << own;
        EXPECT_EQ(opened, BlockOf(own)) << own;
    }
    Block highest{};
    highest.fill(0xff);
    for (const Block& above : {BlockOf(n), BlockOf(n + 1), highest}) {
        Block opened{};
        EXPECT_EQ(openSsl.Open(above.data(), opened.data()), OpenSslRsa::Outcome::AboveModulus);
    }
}

TEST(OpenSslRsaTest, AFaultyResultIsRefusedAndAKeyOfAnotherSizeIsNotUsed) {
    const std::optional<StationKey> key = StationKey::Generate();
    ASSERT_TRUE(key);
    // With both private exponents off, the result of either way of computing
    // it is wrong: only the check against the public key can tell.
    CryptoPP::InvertibleRSAFunction faulty = key->PrivateKey();
    faulty.SetModPrime1PrivateExponent(faulty.GetModPrime1PrivateExponent() + 2);
    faulty.SetPrivateExponent(faulty.GetPrivateExponent() + 2);
    OpenSslRsa openSsl(faulty);
    ASSERT_TRUE(openSsl.Usable());
    CryptoPP::AutoSeededRandomPool random;
    for (int i = 0; i < 8; ++i) {
        const CryptoPP::Integer message(random, 2, faulty.GetModulus() - 2);
        Block opened{};
        EXPECT_EQ(openSsl.Open(BlockOf(faulty.ApplyFunction(message)).data(), opened.data()),
                  OpenSslRsa::Outcome::Failed);
    }

    CryptoPP::InvertibleRSAFunction small;
    small.Initialize(random, 512, 65537);
    OpenSslRsa smaller(small);
    EXPECT_FALSE(smaller.Usable());
    Block opened{};
    EXPECT_EQ(smaller.Open(Block{}.data(), opened.data()), OpenSslRsa::Outcome::Failed);
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
        // Appended after text already there, which stays as it was.
        std::string appended = "head:";
        Base64Text::AppendEncoded(bytes, 8, appended);
        EXPECT_EQ(appended, "head:" + lines) << length << " bytes";
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
