#include <gtest/gtest.h>

#include "foundation/LogTable.h"
#include "foundation/Preferences.h"
#include "server/CryptoContext.h"
#include "server/VornClientEngine.h"
#include "tests/server/StationPeer.h"
#include "tests/support/TempDir.h"

namespace vorn {
namespace {

// Built without the run path to the modules, as a client installed without
// its cipher module would run: the engine cannot make its tokens, says why
// once, and reports it as the engine's own result rather than failing later.
TEST(CipherModuleMissingTest, TheEngineReportsNoCryptoAndTheLogNamesTheModuleOnce) {
    test::IsolatedHome home;
    OpenLog(kGlobalLogName, kGlobalLogFile, 0);
    Preferences preferences;
    test::StationPeer peer;
    VornClientEngine engine{&preferences};

    EXPECT_EQ(engine.Initialise("127.0.0.1", peer.Port()), kEngineNoCrypto);
    EXPECT_EQ(engine.Initialise("127.0.0.1", peer.Port()), kEngineNoCrypto);
    EXPECT_EQ(CryptoContext::Create(), nullptr);
    CloseAllLogs();

    const std::string log = test::ReadFile(home / "logs/vorn.log");
    const std::string line = "CryptoContext : the cipher module libvorn-cipher.so cannot be used : "
                             "libvorn-cipher.so: cannot open shared object file";
    const std::size_t first = log.find(line);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(line, first + 1), std::string::npos) << log;
}

}  // namespace
}  // namespace vorn
