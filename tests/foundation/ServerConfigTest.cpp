#include "foundation/ServerConfig.h"

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

namespace vorn {
namespace {

TEST(ServerConfigTest, HostNamesAndDottedAddressesAreValid) {
    const std::string label63(63, 'a');
    const std::string name253 = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
    ASSERT_EQ(name253.size(), 253u);
    for (const std::string& host : {std::string("localhost"), std::string("music.example.org"),
                                    std::string("a-b.C9"), std::string("192.168.1.20"), std::string("0.0.0.0"),
                                    std::string("255.255.255.255"), std::string("7zip.example"), label63, name253}) {
        EXPECT_TRUE(ServerConfig::IsValidHost(host)) << host;
    }
}

TEST(ServerConfigTest, AnythingElseIsNoHost) {
    const std::string label64(64, 'a');
    const std::string name254 = std::string(63, 'a') + "." + std::string(63, 'a') + "." + std::string(63, 'a') +
                                "." + std::string(62, 'b');
    for (const std::string& host :
         {std::string(""), std::string("-a.org"), std::string("a-.org"), std::string("a..org"), std::string(".org"),
          std::string("org."), std::string("a_b.org"), std::string("a b"), std::string("host:8080"),
          std::string("http://host"), std::string("h\xc3\xa9.org"), label64, name254, std::string("256.1.1.1"),
          std::string("1.2.3"), std::string("1.2.3.4.5"), std::string("01.2.3.4"), std::string("1.2.3.999")}) {
        EXPECT_FALSE(ServerConfig::IsValidHost(host)) << host;
    }
}

TEST(ServerConfigTest, PortsAreDecimalNumbersFromOneTo65535) {
    std::int32_t port = -7;
    EXPECT_TRUE(ServerConfig::ParsePort("1", port));
    EXPECT_EQ(port, 1);
    EXPECT_TRUE(ServerConfig::ParsePort("65535", port));
    EXPECT_EQ(port, 65535);
    for (const char* text : {"0", "65536", "99999", "123456", "80a", "", "-1", "+80", " 80", "8 0", "0x50"}) {
        port = -7;
        EXPECT_FALSE(ServerConfig::ParsePort(text, port)) << text;
        EXPECT_EQ(port, -7) << text;
    }
}

TEST(ServerConfigTest, SetHostStoresServerHostAsText) {
    test::IsolatedHome home;
    EXPECT_EQ(ServerConfig::Host(), "localhost");
    ServerConfig::SetHost("music.example.org");
    EXPECT_EQ(ServerConfig::Host(), "music.example.org");
    EXPECT_EQ(ServerConfig::HelpPageUrl(), "http://music.example.org:8000/help.html");
    EXPECT_NE(test::ReadFile(home.StorePath()).find("\"ServerHost\"=\"music.example.org\"\n"), std::string::npos);
}

}  // namespace
}  // namespace vorn
