#include "station/store/ListenerToken.h"

#include <gtest/gtest.h>

#include <set>

namespace vorn::station::test {
namespace {

TEST(ListenerTokenTest, TokensAre128RandomBitsInLowercaseHex) {
    std::set<std::string> seen;
    std::set<char> digits;
    for (int n = 0; n < 64; ++n) {
        const std::string token = ListenerToken::Generate();
        ASSERT_EQ(token.size(), 32u);
        EXPECT_TRUE(ListenerToken::IsWellFormed(token)) << token;
        seen.insert(token);
        digits.insert(token.begin(), token.end());
    }
    EXPECT_EQ(seen.size(), 64u);
    EXPECT_EQ(digits.size(), 16u);  // 2048 random digits use every one
    const std::string good(32, 'f');
    EXPECT_TRUE(ListenerToken::IsWellFormed(good));
    for (const std::string& bad : {std::string(31, 'a'), std::string(33, 'a'), std::string(32, 'A'),
                                   std::string(31, 'a') + "g", "/" + std::string(31, '0'), std::string()}) {
        EXPECT_FALSE(ListenerToken::IsWellFormed(bad)) << bad;
    }
}

TEST(ListenerTokenTest, LookupKeyIsTheSha256AndEqualityNeedsEveryByte) {
    EXPECT_EQ(ListenerToken::LookupKey("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(ListenerToken::LookupKey(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const std::string token = "0123456789abcdef0123456789abcdef";
    EXPECT_TRUE(ListenerToken::Equal(token, token));
    std::string first = token;
    first.front() = '1';
    std::string last = token;
    last.back() = 'e';
    EXPECT_FALSE(ListenerToken::Equal(token, first));
    EXPECT_FALSE(ListenerToken::Equal(token, last));
    EXPECT_FALSE(ListenerToken::Equal(token, token.substr(0, 31)));
    EXPECT_FALSE(ListenerToken::Equal(token + "0", token));
    EXPECT_TRUE(ListenerToken::Equal("", ""));
}

}  // namespace
}  // namespace vorn::station::test
