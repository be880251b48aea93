#include "station/app/ConnectionBudget.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

namespace vorn::station::test {
namespace {

using Verdict = ConnectionBudget::Verdict;

ClientKey Key(const std::string& address) {
    sockaddr_storage storage{};
    if (address.find(':') == std::string::npos) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
        v4.sin_family = AF_INET;
        inet_pton(AF_INET, address.c_str(), &v4.sin_addr);
    } else {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
        v6.sin6_family = AF_INET6;
        inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr);
    }
    return ClientKeyOf(reinterpret_cast<const sockaddr&>(storage));
}

TEST(ConnectionBudgetTest, AnIpv6ClientCountsByItsNetworkAndAMappedOneAsIpv4) {
    EXPECT_EQ(Key("2001:db8:1:2::5"), Key("2001:db8:1:2:ffff:1:2:3"));
    EXPECT_NE(Key("2001:db8:1:2::5"), Key("2001:db8:1:3::5"));
    EXPECT_EQ(Key("::ffff:10.0.0.7"), Key("10.0.0.7"));
    EXPECT_NE(Key("10.0.0.7"), Key("10.0.0.8"));
    EXPECT_NE(Key("::ffff:10.0.0.7"), Key("::ffff:10.0.0.8"));
}

// Every rule in turn: a client's share, the port's total, the reserve for
// clients that hold few, and closes giving room back.
TEST(ConnectionBudgetTest, ClientsHoldTheirShareAndTheReserveStaysForThoseHoldingFew) {
    ConnectionBudget budget({/*total*/ 16, /*perClient*/ 8, /*reserve*/ 4});
    int held = -1;
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(budget.Admit(Key("10.0.0.1"), held), Verdict::Admitted);
        EXPECT_EQ(held, i);
    }
    EXPECT_EQ(budget.Admit(Key("10.0.0.1"), held), Verdict::ClientFull);
    EXPECT_EQ(held, 8);
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(budget.Admit(Key("10.0.0.2"), held), Verdict::Admitted);
    }
    // 12 held: the last 4 go to clients that hold fewer than 4.
    EXPECT_EQ(budget.Admit(Key("10.0.0.2"), held), Verdict::Reserved);
    EXPECT_EQ(held, 4);
    for (const char* address : {"2001:db8::1", "2001:db8::2", "2001:db8::3", "2001:db8::4"}) {  // one /64
        EXPECT_EQ(budget.Admit(Key(address), held), Verdict::Admitted) << address;
    }
    EXPECT_EQ(held, 3);
    EXPECT_EQ(budget.Held(), 16);
    EXPECT_EQ(budget.Admit(Key("10.0.0.4"), held), Verdict::PortFull);

    budget.Release(Key("10.0.0.1"));
    EXPECT_EQ(budget.Held(), 15);
    EXPECT_EQ(budget.Admit(Key("10.0.0.1"), held), Verdict::Reserved);
    EXPECT_EQ(held, 7);
    EXPECT_EQ(budget.Admit(Key("10.0.0.4"), held), Verdict::Admitted);
    budget.Release(Key("10.0.0.9"));  // never admitted: nothing changes
    EXPECT_EQ(budget.Held(), 16);
    for (int i = 0; i < 4; ++i) {
        budget.Release(Key("10.0.0.2"));
    }
    EXPECT_EQ(budget.Held(), 12);
    EXPECT_EQ(budget.Admit(Key("10.0.0.2"), held), Verdict::Admitted);
    EXPECT_EQ(held, 0);
}

}  // namespace
}  // namespace vorn::station::test
