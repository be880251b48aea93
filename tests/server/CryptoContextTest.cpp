#include "server/CryptoContext.h"

#include <cryptopp/base64.h>
#include <cryptopp/cryptlib.h>
#include <cryptopp/filters.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "server/Base64Codec.h"
#include "tests/server/TokenVectors.h"

namespace vorn {
namespace {

namespace vectors = test::vectors;

// Hands out the given bytes in order; running dry is a test failure.
class FixedRandom : public CryptoPP::RandomNumberGenerator {
public:
    explicit FixedRandom(std::string bytes) : bytes_(std::move(bytes)) {}
    void GenerateBlock(CryptoPP::byte* output, size_t size) override {
        if (size > bytes_.size() - used_) {
            throw std::runtime_error("fixed random bytes exhausted");
        }
        std::copy_n(bytes_.data() + used_, size, output);
        used_ += size;
    }

private:
    std::string bytes_;
    std::size_t used_ = 0;
};

std::string PublicKeyOfSize(unsigned bits) {
    CryptoPP::AutoSeededRandomPool random;
    CryptoPP::InvertibleRSAFunction key;
    key.Initialize(random, bits);
    std::string text;
    CryptoPP::Base64Encoder encoder(new CryptoPP::StringSink(text));
    CryptoPP::RSAFunction(key).DEREncode(encoder);
    encoder.MessageEnd();
    return text;
}

TEST(Base64CodecTest, EncodesGroupsPaddingAndLineBreaks) {
    EXPECT_EQ(Base64Codec::Encode("abc"), "YWJj");
    EXPECT_EQ(Base64Codec::Encode("abcd"), "YWJjZA==");
    EXPECT_EQ(Base64Codec::Encode("abcde"), "YWJjZGU=");
    EXPECT_EQ(Base64Codec::Encode(""), "");
    EXPECT_EQ(Base64Codec::Encode(std::string("\xff\xfe\x00", 3)), "//4A");

    const std::string line57(57, 'x');
    const std::string encoded57 = Base64Codec::Encode(line57);
    ASSERT_EQ(encoded57.size(), 78u);
    EXPECT_EQ(encoded57.substr(76), "\r\n");

    // A short final group comes after the line break of a completed line.
    const std::string encoded58 = Base64Codec::Encode(line57 + "y");
    EXPECT_EQ(encoded58.substr(0, 78), encoded57);
    EXPECT_EQ(encoded58.substr(78), "eQ==");

    const std::string encoded114 = Base64Codec::Encode(std::string(114, 'x'));
    EXPECT_EQ(encoded114.size(), 156u);
    EXPECT_EQ(encoded114.substr(76, 2), "\r\n");
    EXPECT_EQ(encoded114.substr(154), "\r\n");
}

TEST(Base64CodecTest, DecodesSkippingForeignCharactersAndStopsAtPadding) {
    EXPECT_EQ(Base64Codec::Decode("YWJj"), "abc");
    EXPECT_EQ(Base64Codec::Decode("YWJjZA=="), "abcd");
    EXPECT_EQ(Base64Codec::Decode("YWJjZGU="), "abcde");
    EXPECT_EQ(Base64Codec::Decode("YW\r\nJj ZG*U"), "abcde");
    EXPECT_EQ(Base64Codec::Decode("YWJjZA==YWJj"), "abcd");  // nothing after "=" is read
    EXPECT_EQ(Base64Codec::Decode("YWJjZ"), "abc");          // a lone trailing character is dropped
    EXPECT_EQ(Base64Codec::Decode("-_!"), "");

    std::string all;
    for (int i = 0; i < 600; ++i) {
        all.push_back(static_cast<char>(i * 37 + i / 256));
    }
    for (std::size_t length = 0; length <= all.size(); length += 7) {
        const std::string bytes = all.substr(0, length);
        ASSERT_EQ(Base64Codec::Decode(Base64Codec::Encode(bytes)), bytes) << length;
    }
}

class CryptoContextVectorTest : public ::testing::Test {
protected:
    FixedRandom random{vectors::kClientKey + vectors::Filler(1) + vectors::Filler(2)};
    std::unique_ptr<CryptoContext> context = CryptoContext::Create(random);
};

TEST_F(CryptoContextVectorTest, RequestTokensMatchTheIndependentlyComputedOnes) {
    ASSERT_NE(context, nullptr);
    ASSERT_TRUE(context->LoadPublicKey(vectors::kPublicKeyBase64));
    // The first token's body ends in 15 padding bytes, the second's in a whole
    // block of sixteen; both come from one context and share its client key.
    EXPECT_EQ(context->EncryptRequest(XmlElement(vectors::kRequest1Xml)), vectors::kRequest1Token);
    EXPECT_EQ(context->EncryptRequest(XmlElement(vectors::kRequest2Xml)), vectors::kRequest2Token);
}

TEST_F(CryptoContextVectorTest, RepliesDecryptWithThePaddingLeftInPlace) {
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->DecryptResponse(vectors::kReplyToken).Text(), vectors::kReplyPadded);
    EXPECT_EQ(context->DecryptResponse(vectors::kReplyToken + "\r\n").Text(), vectors::kReplyPadded);

    std::string unbroken = vectors::kReplyToken;
    unbroken.erase(std::remove_if(unbroken.begin(), unbroken.end(), [](char c) { return c == '\r' || c == '\n'; }),
                   unbroken.end());
    EXPECT_EQ(context->DecryptResponse(unbroken).Text(), vectors::kReplyPadded);

    // A tail shorter than one block is ignored.
    const std::string withTail = unbroken.substr(0, unbroken.find('=')) + "QUJD";
    EXPECT_EQ(context->DecryptResponse(withTail).Text(), vectors::kReplyPadded);

    EXPECT_TRUE(context->DecryptResponse("").IsEmpty());
    EXPECT_TRUE(context->DecryptResponse("\r\n").IsEmpty());
}

TEST(CryptoContextTest, TokenLayoutForA54ByteRequest) {
    auto context = CryptoContext::Create();
    ASSERT_NE(context, nullptr);
    ASSERT_TRUE(context->LoadPublicKey(vectors::kPublicKeyBase64));
    const std::string xml(54, 'q');
    const std::string token = context->EncryptRequest(XmlElement(xml));
    ASSERT_EQ(token.size(), 256u + 6u);
    EXPECT_EQ(token.find('='), std::string::npos);
    std::string breaks;
    for (std::size_t at = token.find("\r\n"); at != std::string::npos; at = token.find("\r\n", at + 2)) {
        breaks += std::to_string(at) + " ";
    }
    EXPECT_EQ(breaks, "76 154 232 ");  // after the 76th, 152nd and 228th characters
    EXPECT_EQ(token.find_first_of("+/"), std::string::npos);
    std::string standard = token;
    std::replace(standard.begin(), standard.end(), '-', '+');
    std::replace(standard.begin(), standard.end(), '_', '/');
    EXPECT_EQ(Base64Codec::Decode(standard).size(), 192u);
}

TEST(CryptoContextTest, ContextsDrawTheirOwnClientKeys) {
    auto first = CryptoContext::Create();
    auto second = CryptoContext::Create();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(first->LoadPublicKey(vectors::kPublicKeyBase64));
    ASSERT_TRUE(second->LoadPublicKey(vectors::kPublicKeyBase64));
    const XmlElement request("<request><type>X</type></request>");
    const std::string a = first->EncryptRequest(request);
    const std::string b = second->EncryptRequest(request);
    // Same length, different key blocks and bodies.
    ASSERT_EQ(a.size(), b.size());
    EXPECT_NE(a.substr(0, 170), b.substr(0, 170));
    EXPECT_NE(a.substr(176), b.substr(176));
}

TEST(CryptoContextTest, UnusableKeysAreRefusedWithoutThrowing) {
    auto context = CryptoContext::Create();
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->EncryptRequest(XmlElement("<a></a>")), "");  // no key yet

    std::string truncated = vectors::kPublicKeyBase64;
    truncated.resize(truncated.size() / 2);
    std::string damaged = vectors::kPublicKeyBase64;
    damaged[20] = damaged[20] == 'A' ? 'B' : 'A';  // inside the algorithm identifier
    for (const std::string& bad : {std::string(), std::string("not a key at all"), truncated, damaged,
                                   vectors::kPrivateKeyPem, PublicKeyOfSize(512), PublicKeyOfSize(1032)}) {
        EXPECT_FALSE(context->LoadPublicKey(bad)) << bad;
        EXPECT_FALSE(context->HasPublicKey());
    }
    EXPECT_EQ(context->EncryptRequest(XmlElement("<a></a>")), "");

    EXPECT_TRUE(context->LoadPublicKey(PublicKeyOfSize(1024)));
    EXPECT_FALSE(context->LoadPublicKey("MIGf"));
    EXPECT_TRUE(context->HasPublicKey());  // a failed load keeps the earlier key
    EXPECT_FALSE(context->EncryptRequest(XmlElement("<a></a>")).empty());
}

TEST(CryptoContextTest, FailingRandomSourceGivesNoContext) {
    FixedRandom tooFew(std::string(8, 'x'));
    EXPECT_EQ(CryptoContext::Create(tooFew), nullptr);

    FixedRandom keyOnly(vectors::kClientKey);
    auto context = CryptoContext::Create(keyOnly);
    ASSERT_NE(context, nullptr);
    ASSERT_TRUE(context->LoadPublicKey(vectors::kPublicKeyBase64));
    EXPECT_EQ(context->EncryptRequest(XmlElement("<a></a>")), "");  // no filler left
}

}  // namespace
}  // namespace vorn
