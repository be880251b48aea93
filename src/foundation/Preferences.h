#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/RegistryKey.h"

namespace vorn {

// The listener's options, kept under the program's registry key and written the
// moment they change. One process-wide record (Global), built on first use so
// that tests can point XDG_CONFIG_HOME elsewhere before anything opens the store.
//
// On construction missing values get their defaults written: "pref_aot" = "0",
// "pref_hk" = "1", "pref_useproxy" = "0" (also rewritten to "0" when the proxy
// server or port is missing). "MediaDir" is read but never defaulted here.
// Every value is written as REG_SZ text, numbers in decimal.
//
// Read from every thread that opens a connection; written from the window thread.
class Preferences {
public:
    Preferences();
    Preferences(const Preferences&) = delete;
    Preferences& operator=(const Preferences&) = delete;

    static Preferences& Global();

    // Opens the store again (where the environment now points) and rereads every
    // value as construction does.
    void Reload();

    bool GetAlwaysOnTop() const;
    bool GetHotKeys() const;
    bool GetUseProxy() const;
    std::string GetProxyServer() const;
    std::int32_t GetProxyPort() const;
    std::string GetMediaDir() const;
    // The desktop's media controls and the track notices: dwords "pref_mpris"
    // and "pref_notify", on (1) when missing; not written until changed.
    bool GetMediaControls() const;
    bool GetTrackNotices() const;
    // Each track played at the loudness its "Gain" detail gives: dword
    // "pref_levelling", on (1) when missing; not written until changed.
    bool GetLevelling() const;

    void SetAlwaysOnTop(bool on);
    void SetHotKeys(bool on);
    void SetMediaControls(bool on);
    void SetTrackNotices(bool on);
    void SetLevelling(bool on);
    void SetMediaDir(const std::string& folder);
    void SetProxyServer(const std::string& server);
    void SetProxyPort(std::int32_t port);
    // The proxy is used only while both "pref_proxyserver" and "pref_proxyport"
    // are stored: switching it on without them writes "0". Returns the flag in force.
    bool SetUseProxy(bool on);

private:
    void LoadLocked();

    mutable std::mutex mutex_;  // guards every field below
    std::unique_ptr<RegistryKey> key_;
    bool alwaysOnTop_ = false;
    bool hotKeys_ = true;
    bool useProxy_ = false;
    bool mediaControls_ = true;
    bool trackNotices_ = true;
    bool levelling_ = true;
    std::string proxyServer_;
    std::int32_t proxyPort_ = 0;
    std::string mediaDir_;
};

}  // namespace vorn
