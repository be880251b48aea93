#include "station/protocol/ProtocolCore.h"

#include <cryptopp/aes.h>
#include <cryptopp/modes.h>
#include <cryptopp/osrng.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include "server/Base64Codec.h"
#include "server/CryptoContext.h"
#include "tests/server/TokenVectors.h"

namespace vorn::station {
namespace {

namespace vectors = test::vectors;

// Records what arrives and answers with a fixed result (or throws, if asked to).
class RecordingHandler : public RequestHandler {
public:
    HandlerResult HandleRequest(const std::string& requestXml) override {
        std::lock_guard lock(mutex_);
        requests_.push_back(requestXml);
        if (fail_) {
            throw std::runtime_error("handler broke");
        }
        return result_;
    }
    void SetReply(std::string reply) { result_ = HandlerResult::Reply(std::move(reply)); }
    void SetResult(HandlerResult result) { result_ = std::move(result); }
    void SetFailing() { fail_ = true; }
    std::vector<std::string> Requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    std::mutex mutex_;  // guards requests_
    std::vector<std::string> requests_;
    HandlerResult result_ = HandlerResult::Reply(vectors::kReplyXml);
    bool fail_ = false;
};

// Answers every request with "<echo>" + the request + "</echo>".
class EchoHandler : public RequestHandler {
public:
    HandlerResult HandleRequest(const std::string& requestXml) override {
        return HandlerResult::Reply("<echo>" + requestXml + "</echo>");
    }
};

class AcknowledgingHandler : public RecordingHandler {
public:
    bool AcknowledgesRatings() const override { return true; }
};

StationKey VectorKey() {
    auto key = StationKey::FromPem(vectors::kPrivateKeyPem);
    if (!key) {
        throw std::runtime_error("vector key unreadable");
    }
    return *key;
}

// The token of these bytes, in the client's URL-safe base64.
std::string TokenOf(const std::string& bytes) {
    std::string token = Base64Codec::Encode(bytes);
    std::replace(token.begin(), token.end(), '+', '-');
    std::replace(token.begin(), token.end(), '/', '_');
    return token;
}

// A token of the client's layout with a key block plaintext and a body of the
// test's choosing, sealed with the station's public key.
std::string CustomToken(const StationKey& key, const std::string& keyBlock, const std::string& body) {
    const CryptoPP::RSAFunction publicKey(key.PrivateKey());
    const CryptoPP::Integer sealed =
        publicKey.ApplyFunction(CryptoPP::Integer(reinterpret_cast<const CryptoPP::byte*>(keyBlock.data()), keyBlock.size()));
    std::string bytes(128, '\0');
    sealed.Encode(reinterpret_cast<CryptoPP::byte*>(bytes.data()), 128);
    return TokenOf(bytes + body);
}

std::string EncryptWithoutPadding(const std::string& clientKey, const std::string& plain) {
    CryptoPP::ECB_Mode<CryptoPP::AES>::Encryption encryption(
        reinterpret_cast<const CryptoPP::byte*>(clientKey.data()), clientKey.size());
    std::string cipher(plain.size(), '\0');
    encryption.ProcessData(reinterpret_cast<CryptoPP::byte*>(cipher.data()),
                           reinterpret_cast<const CryptoPP::byte*>(plain.data()), plain.size());
    return cipher;
}

class ProtocolCoreTest : public ::testing::Test {
protected:
    StationKey key = VectorKey();
    RecordingHandler handler;
    ProtocolCore core{key, handler, BuildInfo{11, 14}};
    std::string response;
    std::string error;
};

TEST_F(ProtocolCoreTest, KeyExchangeAnswersThePublicKeyAndBuildsInOneHead) {
    ASSERT_EQ(core.Respond("/", response, error), ProtocolOutcome::Answer) << error;
    std::string publicKey = vectors::kPublicKeyBase64;
    publicKey.erase(std::remove(publicKey.begin(), publicKey.end(), '\n'), publicKey.end());
    EXPECT_EQ(response, "<type>PublicKeyResponse</type><pubkey>" + publicKey +
                            "</pubkey><builds><build><platform>windows</platform><min>11</min>"
                            "<latest>14</latest></build></builds>\r\n\r\n");
    EXPECT_EQ(response.find("\r\n\r\n"), response.size() - 4);
    EXPECT_TRUE(handler.Requests().empty());

    ASSERT_EQ(core.Respond("http://station.example:8080/", response, error), ProtocolOutcome::Answer) << error;
    EXPECT_EQ(response, core.KeyExchangeReply() + "\r\n\r\n");

    // A handler that acknowledges ratings says so in one element after the
    // others, which stay as they were.
    const std::string plain = response.substr(0, response.size() - 4);
    AcknowledgingHandler acknowledging;
    const ProtocolCore withAck{key, acknowledging, BuildInfo{11, 14}};
    ASSERT_EQ(withAck.Respond("/", response, error), ProtocolOutcome::Answer) << error;
    EXPECT_EQ(response, plain + "<ratingsack>1</ratingsack>\r\n\r\n");
}

TEST_F(ProtocolCoreTest, RequestTokensOfTheVectorsDecryptAndRepliesMatchTheirVector) {
    ASSERT_EQ(core.Respond("/" + vectors::kRequest1Token, response, error), ProtocolOutcome::Answer) << error;
    EXPECT_EQ(response, vectors::kReplyToken + "\r\n\r\n");
    // The second request has a whole block of padding and the same client key.
    ASSERT_EQ(core.Respond("/" + vectors::kRequest2Token, response, error), ProtocolOutcome::Answer) << error;
    EXPECT_EQ(response, vectors::kReplyToken + "\r\n\r\n");

    std::string unbroken = vectors::kRequest1Token;
    unbroken.erase(std::remove_if(unbroken.begin(), unbroken.end(), [](char c) { return c == '\r' || c == '\n'; }),
                   unbroken.end());
    ASSERT_EQ(core.Respond("http://station.example:8080/" + unbroken, response, error), ProtocolOutcome::Answer)
        << error;

    EXPECT_EQ(handler.Requests(),
              (std::vector<std::string>{vectors::kRequest1Xml, vectors::kRequest2Xml, vectors::kRequest1Xml}));
}

TEST_F(ProtocolCoreTest, LongRepliesAreSplitInto76CharacterLines) {
    handler.SetReply(std::string(200, 'r'));  // 208 cipher bytes, 280 characters
    ASSERT_EQ(core.Respond("/" + vectors::kRequest1Token, response, error), ProtocolOutcome::Answer) << error;
    ASSERT_EQ(response.size(), 280u + 3 * 2 + 4);
    EXPECT_EQ(response.substr(76, 2), "\r\n");
    EXPECT_EQ(response.substr(154, 2), "\r\n");
    EXPECT_EQ(response.substr(232, 2), "\r\n");
    EXPECT_EQ(response.find("\r\n\r\n"), response.size() - 4);

    // 912 cipher bytes fill exactly 16 lines: still only the one empty line at the end.
    handler.SetReply(std::string(900, 'r'));
    ASSERT_EQ(core.Respond("/" + vectors::kRequest1Token, response, error), ProtocolOutcome::Answer) << error;
    ASSERT_EQ(response.size(), 1216u + 15 * 2 + 4);
    EXPECT_EQ(response.find("\r\n\r\n"), response.size() - 4);

}

TEST_F(ProtocolCoreTest, AHandlerWithNothingToSaySendsNothingAndOneThatFailedResets) {
    handler.SetResult(HandlerResult::Nothing());
    response = "stale";
    ASSERT_EQ(core.Respond("/" + vectors::kRequest1Token, response, error), ProtocolOutcome::Answer) << error;
    EXPECT_EQ(response, "");

    handler.SetResult(HandlerResult::Reset());
    response = "stale";
    EXPECT_EQ(core.Respond("/" + vectors::kRequest1Token, response, error), ProtocolOutcome::Reset);
    EXPECT_EQ(response, "");
    EXPECT_EQ(error, "");
    EXPECT_EQ(handler.Requests().size(), 2u);
}

TEST_F(ProtocolCoreTest, HostileTargetsAreRefusedWithAReason) {
    const std::string clientKey = vectors::kClientKey;
    const std::string goodBlock = std::string("\x10\x00\x00\x00", 4) + clientKey + std::string(108, '\x5a');
    std::string wrongLength = goodBlock;
    wrongLength[0] = '\x20';
    const std::string padded = "<request></request>" + std::string(13, '\x0d');  // 32 bytes
    std::string badPadding = padded;
    badPadding.back() = '\x11';
    std::string mixedPadding = padded;
    mixedPadding[20] = '\x0c';
    std::string tampered = vectors::kRequest1Token;
    tampered[300 - 20] = tampered[300 - 20] == 'A' ? 'B' : 'A';  // inside the last cipher block

    std::string modulus(128, '\0');
    key.PrivateKey().GetModulus().Encode(reinterpret_cast<CryptoPP::byte*>(modulus.data()), modulus.size());

    // Each with the words its refusal gives, so that each is refused where it should be.
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"", "empty target", "does not begin with"},
        {"index.html", "no leading slash", "does not begin with"},
        {"/" + vectors::kRequest1Token.substr(0, 100), "short token", "whole cipher blocks"},
        {"/" + vectors::kRequest1Token + "AAAA", "token not whole blocks", "whole cipher blocks"},
        {"/abc def", "foreign characters", "URL-safe"},
        {"/" + vectors::kRequest1Token + "+", "standard alphabet characters", "URL-safe"},
        {"/" + std::string(192, '_'), "key block above the modulus", "modulus"},
        {"/" + TokenOf(modulus + std::string(16, 'b')), "key block of the modulus", "modulus"},
        {"/" + CustomToken(key, std::string(128, '\0'), std::string(16, 'b')), "key block of zero", "16-byte"},
        {"/" + CustomToken(key, wrongLength, EncryptWithoutPadding(clientKey, padded)), "wrong key length", "16-byte"},
        {"/" + CustomToken(key, goodBlock, EncryptWithoutPadding(clientKey, badPadding)), "padding value 17",
         "padding"},
        {"/" + CustomToken(key, goodBlock, EncryptWithoutPadding(clientKey, mixedPadding)), "uneven padding",
         "padding"},
        {"/" + tampered, "damaged body", "padding"},
    };
    for (const auto& [target, why, reason] : cases) {
        response = "stale";
        EXPECT_EQ(core.Respond(target, response, error), ProtocolOutcome::Unusable) << why;
        EXPECT_NE(error.find(reason), std::string::npos) << why << ": " << error;
        EXPECT_EQ(response, "") << why;
    }
    EXPECT_TRUE(handler.Requests().empty());

    // The same custom token with sound padding does get through.
    ASSERT_EQ(core.Respond("/" + CustomToken(key, goodBlock, EncryptWithoutPadding(clientKey, padded)), response,
                           error),
              ProtocolOutcome::Answer)
        << error;
    EXPECT_EQ(handler.Requests(), std::vector<std::string>{"<request></request>"});
}

TEST_F(ProtocolCoreTest, AFailingHandlerIsReportedNotThrown) {
    handler.SetFailing();
    EXPECT_EQ(core.Respond("/" + vectors::kRequest1Token, response, error), ProtocolOutcome::Unusable);
    EXPECT_NE(error.find("handler broke"), std::string::npos) << error;
}

TEST_F(ProtocolCoreTest, RandomDamageNeverCrashes) {
    std::mt19937 generator(12345);
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_=\r\n";
    int accepted = 0;
    for (int i = 0; i < 400; ++i) {
        std::string token = vectors::kRequest1Token;
        const int changes = 1 + static_cast<int>(generator() % 4);
        for (int c = 0; c < changes; ++c) {
            const std::size_t at = generator() % token.size();
            switch (generator() % 3) {
                case 0: token[at] = alphabet[generator() % alphabet.size()]; break;
                case 1: token.erase(at, 1 + generator() % 8); break;
                default: token.insert(at, 1, static_cast<char>(generator() % 256)); break;
            }
        }
        if (core.Respond("/" + token, response, error) == ProtocolOutcome::Answer) {
            ++accepted;
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
    // Damage that only touches line breaks or the final "=" is harmless; the rest
    // must be caught nearly always.
    EXPECT_LT(accepted, 80);
}

TEST(ProtocolCoreConcurrencyTest, ServesManyClientsAtOnceAndInTurn) {
    const StationKey key = VectorKey();
    EchoHandler handler;
    const ProtocolCore core(key, handler, BuildInfo{});
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            // Two clients (two session keys) in turn on each thread, as a
            // station thread serves whoever comes next.
            std::unique_ptr<CryptoContext> clients[2] = {CryptoContext::Create(), CryptoContext::Create()};
            for (const auto& client : clients) {
                if (!client || !client->LoadPublicKey(key.PublicKeyBase64())) {
                    ++failures;
                    return;
                }
            }
            for (int i = 0; i < 15; ++i) {
                CryptoContext* client = clients[i % 2].get();
                const std::string xml = "<request><n>" + std::to_string(t * 100 + i) + "</n></request>";
                std::string response;
                std::string error;
                if (core.Respond("/" + client->EncryptRequest(XmlElement(xml)), response, error) !=
                    ProtocolOutcome::Answer) {
                    ++failures;
                    continue;
                }
                const std::string reply = client->DecryptResponse(response).Text();
                if (reply.rfind("<echo>" + xml + "</echo>", 0) != 0) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, 0);
}

TEST(ProtocolCoreParseTest, FindsTheTargetUpToTheLastVersion) {
    std::string target;
    ASSERT_TRUE(ProtocolCore::ParseRequestTarget("GET / HTTP/1.0\r\n\r\n", target));
    EXPECT_EQ(target, "/");
    ASSERT_TRUE(ProtocolCore::ParseRequestTarget("GET /ab\r\ncd\r\n HTTP/1.0\r\n\r\n", target));
    EXPECT_EQ(target, "/ab\r\ncd\r\n");
    ASSERT_TRUE(ProtocolCore::ParseRequestTarget("GET /x HTTP/1.1\nHost:h:8080\nConnection: close\r\n\r\n", target));
    EXPECT_EQ(target, "/x");
    EXPECT_FALSE(ProtocolCore::ParseRequestTarget("POST / HTTP/1.0\r\n\r\n", target));
    EXPECT_FALSE(ProtocolCore::ParseRequestTarget("GET /", target));
    EXPECT_FALSE(ProtocolCore::ParseRequestTarget("GET HTTP/1.0", target));
}

}  // namespace
}  // namespace vorn::station
