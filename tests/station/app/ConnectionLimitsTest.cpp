#include <gtest/gtest.h>

#include <filesystem>

#include "station/app/StationConstants.h"
#include "tests/station/app/ConnectionFlood.h"
#include "tests/station/app/Mp3Files.h"
#include "tests/station/app/RawClient.h"
#include "tests/station/app/StationProcess.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"

namespace vorn::station::test {
namespace {

// One address holding 2,000 silent and trickling connections on the protocol
// and media ports, and opening again each one the station closes, locks no
// other address out of the real program: another address's key exchanges and
// media requests are all answered meanwhile, with the station's default limits.
TEST(ConnectionLimitsTest, AFloodFromOneAddressLocksNoOtherOut) {
    ASSERT_TRUE(RaiseDescriptorLimitTo(4500)) << "this test holds over 2,000 connections";
    vorn::test::TempDir dir;
    std::filesystem::create_directories(dir / "music");
    ASSERT_TRUE(WriteSilentMp3(dir / "music/one.mp3", 3, 5));
    const std::string file = vorn::test::ReadFile(dir / "music/one.mp3");
    StationProcess station({"--music", dir / "music", "--data", dir / "data", "--port", "0", "--media-port", "0",
                            "--cdn-port", "0", "--rescan", "0"},
                           dir / "station.log");
    const int protocol = station.WaitForPort();
    const int media = station.MediaPort();
    ASSERT_NE(protocol, 0) << station.Log();
    ASSERT_NE(media, 0) << station.Log();

    ConnectionFlood flood("127.0.0.2", {{protocol, 500, false}, {protocol, 500, true},
                                        {media, 500, false}, {media, 500, true}});
    ASSERT_TRUE(flood.WaitUntilOpened(20000)) << flood.Opened() << " opened, " << flood.Failed() << " failed";
    for (int i = 0; i < 40; ++i) {
        const std::string key = Exchange(protocol, "GET / HTTP/1.0\r\n\r\n", 5000);
        EXPECT_NE(key.find("<type>PublicKeyResponse</type><pubkey>"), std::string::npos) << "key exchange " << i;
        const std::string answer = Exchange(media, "GET /media/1.mp3 HTTP/1.0\r\n\r\n", 5000);
        EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << "media request " << i;
        EXPECT_EQ(answer.size() - answer.find("\r\n\r\n") - 4, file.size()) << "media request " << i;
    }

    // The flood was held at the limit of one address on both ports, and the
    // station reset the rest as fast as they came back.
    const std::string share = std::to_string(kDefaultMaxConnectionsPerAddress);
    EXPECT_TRUE(vorn::test::WaitFor([&] {
        const std::string log = station.Log();
        return log.find("127.0.0.2 holds " + share + " connections on the protocol port") != std::string::npos &&
               log.find("127.0.0.2 holds " + share + " connections on the media host") != std::string::npos;
    })) << station.Log().substr(0, 4000);
    EXPECT_TRUE(vorn::test::WaitFor([&] { return flood.Closed() > 4000; }, 20000)) << flood.Closed();
    EXPECT_TRUE(station.Running());
}

}  // namespace
}  // namespace vorn::station::test
