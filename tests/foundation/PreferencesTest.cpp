#include "foundation/Preferences.h"

#include <gtest/gtest.h>

#include "foundation/RegistryKey.h"
#include "tests/support/TempDir.h"

namespace vorn {
namespace {

using test::IsolatedHome;
using test::ReadFile;
using test::WriteFile;

std::string Store(const std::string& values) {
    return "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Mirelund\\Vorn]\n" + values;
}

TEST(PreferencesTest, FirstRunWritesExactlyTheThreeDefaults) {
    IsolatedHome home;
    Preferences preferences;
    EXPECT_FALSE(preferences.GetAlwaysOnTop());
    EXPECT_TRUE(preferences.GetHotKeys());
    EXPECT_FALSE(preferences.GetUseProxy());
    EXPECT_EQ(preferences.GetMediaDir(), "");
    EXPECT_EQ(ReadFile(home.StorePath()),
              Store("\"pref_aot\"=\"0\"\n\"pref_hk\"=\"1\"\n\"pref_useproxy\"=\"0\"\n"));
}

TEST(PreferencesTest, ExistingValuesAreReadAndNotRewritten) {
    IsolatedHome home;
    const std::string content = Store(
        "\"PREF_AOT\"=dword:00000001\n\"pref_hk\"=\"0\"\n\"pref_useproxy\"=\"1\"\n"
        "\"pref_proxyserver\"=\"proxy.example\"\n\"pref_proxyport\"=\"3128\"\n\"MediaDir\"=\"/srv/m/\"\n");
    WriteFile(home.StorePath(), content);
    Preferences preferences;
    EXPECT_TRUE(preferences.GetAlwaysOnTop());
    EXPECT_FALSE(preferences.GetHotKeys());
    EXPECT_TRUE(preferences.GetUseProxy());
    EXPECT_EQ(preferences.GetProxyServer(), "proxy.example");
    EXPECT_EQ(preferences.GetProxyPort(), 3128);
    EXPECT_EQ(preferences.GetMediaDir(), "/srv/m/");
    EXPECT_EQ(ReadFile(home.StorePath()), content);
}

TEST(PreferencesTest, AProxyWithoutPortOrServerIsSwitchedOff) {
    IsolatedHome home;
    WriteFile(home.StorePath(), Store("\"pref_useproxy\"=\"1\"\n\"pref_proxyserver\"=\"p\"\n"));
    {
        Preferences preferences;
        EXPECT_FALSE(preferences.GetUseProxy());
    }
    RegistryKey key;
    key.Open(kVornKeyPath);
    EXPECT_EQ(key.Value("pref_useproxy").AsText(), "0");
    EXPECT_EQ(key.Value("pref_proxyserver").AsText(), "p");

    WriteFile(home.StorePath(), Store("\"pref_useproxy\"=\"1\"\n\"pref_proxyport\"=\"8\"\n"));
    Preferences withoutServer;
    EXPECT_FALSE(withoutServer.GetUseProxy());
}

TEST(PreferencesTest, SettersWriteAtOnceAndSurviveAReload) {
    IsolatedHome home;
    Preferences preferences;
    preferences.SetAlwaysOnTop(true);
    preferences.SetHotKeys(false);
    preferences.SetMediaDir("/home/l/Music/Vorn/");
    // Another key writing meanwhile is not erased by later preference writes.
    {
        RegistryKey other;
        other.Open(kVornKeyPath);
        other.Value("user_id_0").SetInt(7);
    }
    preferences.SetAlwaysOnTop(false);

    Preferences again;
    EXPECT_FALSE(again.GetAlwaysOnTop());
    EXPECT_FALSE(again.GetHotKeys());
    EXPECT_EQ(again.GetMediaDir(), "/home/l/Music/Vorn/");
    RegistryKey reader;
    reader.Open(kVornKeyPath);
    EXPECT_EQ(reader.Value("user_id_0").AsInt(), 7);
}

TEST(PreferencesTest, TheProxySettersWriteTextAndTheFlagNeedsServerAndPort) {
    IsolatedHome home;
    Preferences preferences;
    EXPECT_FALSE(preferences.SetUseProxy(true)) << "neither server nor port stored";
    preferences.SetProxyServer("proxy.example");
    EXPECT_FALSE(preferences.SetUseProxy(true)) << "no port stored";
    EXPECT_FALSE(preferences.GetUseProxy());
    preferences.SetProxyPort(3128);
    EXPECT_TRUE(preferences.SetUseProxy(true));
    EXPECT_TRUE(preferences.GetUseProxy());
    EXPECT_EQ(preferences.GetProxyServer(), "proxy.example");
    EXPECT_EQ(preferences.GetProxyPort(), 3128);
    EXPECT_EQ(ReadFile(home.StorePath()),
              Store("\"pref_aot\"=\"0\"\n\"pref_hk\"=\"1\"\n\"pref_useproxy\"=\"1\"\n"
                    "\"pref_proxyserver\"=\"proxy.example\"\n\"pref_proxyport\"=\"3128\"\n"));

    Preferences again;
    EXPECT_TRUE(again.GetUseProxy());
    EXPECT_EQ(again.GetProxyPort(), 3128);
    EXPECT_FALSE(again.SetUseProxy(false));
    EXPECT_FALSE(Preferences().GetUseProxy());
}

TEST(PreferencesTest, ReloadFollowsTheEnvironment) {
    IsolatedHome first;
    Preferences preferences;
    preferences.SetMediaDir("/first/");
    IsolatedHome second;
    preferences.Reload();
    EXPECT_EQ(preferences.GetMediaDir(), "");
    EXPECT_NE(ReadFile(second.StorePath()).find("pref_hk"), std::string::npos);
}

TEST(PreferencesTest, ADamagedStoreNeverStopsTheProgram) {
    IsolatedHome home;
    WriteFile(home.StorePath(), std::string("\x00\xff\xfe garbage\n\"pref_hk\"=\"0\n[\n\"pref_aot\"=\"1\"\n", 39));
    Preferences preferences;
    EXPECT_TRUE(preferences.GetHotKeys());  // the damaged line did not count; default written
    RegistryKey key;
    key.Open(kVornKeyPath);
    EXPECT_EQ(key.Value("pref_hk").AsText(), "1");
}

}  // namespace
}  // namespace vorn
