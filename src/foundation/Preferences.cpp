#include "foundation/Preferences.h"

namespace vorn {

Preferences::Preferences() {
    std::lock_guard lock(mutex_);
    LoadLocked();
}

Preferences& Preferences::Global() {
    static Preferences preferences;
    return preferences;
}

void Preferences::Reload() {
    std::lock_guard lock(mutex_);
    LoadLocked();
}

void Preferences::LoadLocked() {
    key_ = std::make_unique<RegistryKey>(RegistryKey::kCreate);
    key_->Open(kVornKeyPath);
    RegistryKey& key = *key_;
    // The defaults a first start writes go to the store in one go.
    RegistryKey::Batch batch(key);

    if (RegistryValue& aot = key.Value("pref_aot"); aot.Exists()) {
        alwaysOnTop_ = aot.AsBool();
    } else {
        aot.SetText("0");
        alwaysOnTop_ = false;
    }

    if (RegistryValue& hk = key.Value("pref_hk"); hk.Exists()) {
        hotKeys_ = hk.AsBool();
    } else {
        hk.SetText("1");
        hotKeys_ = true;
    }

    RegistryValue& mpris = key.Value("pref_mpris");
    mediaControls_ = !mpris.Exists() || mpris.AsBool();
    RegistryValue& notify = key.Value("pref_notify");
    trackNotices_ = !notify.Exists() || notify.AsBool();
    RegistryValue& levelling = key.Value("pref_levelling");
    levelling_ = !levelling.Exists() || levelling.AsBool();

    proxyServer_.clear();
    proxyPort_ = 0;
    if (RegistryValue& useProxy = key.Value("pref_useproxy"); useProxy.Exists()) {
        useProxy_ = useProxy.AsBool();
        if (RegistryValue& server = key.Value("pref_proxyserver"); server.Exists()) {
            proxyServer_ = server.AsText();
        } else {
            useProxy.SetText("0");
            useProxy_ = false;
        }
        if (RegistryValue& port = key.Value("pref_proxyport"); port.Exists()) {
            proxyPort_ = port.AsInt();
        } else {
            useProxy.SetText("0");
            useProxy_ = false;
        }
    } else {
        useProxy.SetText("0");
        useProxy_ = false;
    }

    RegistryValue& media = key.Value("MediaDir");
    mediaDir_ = media.Exists() ? media.AsText() : std::string();
}

bool Preferences::GetAlwaysOnTop() const {
    std::lock_guard lock(mutex_);
    return alwaysOnTop_;
}

bool Preferences::GetHotKeys() const {
    std::lock_guard lock(mutex_);
    return hotKeys_;
}

bool Preferences::GetUseProxy() const {
    std::lock_guard lock(mutex_);
    return useProxy_;
}

std::string Preferences::GetProxyServer() const {
    std::lock_guard lock(mutex_);
    return proxyServer_;
}

std::int32_t Preferences::GetProxyPort() const {
    std::lock_guard lock(mutex_);
    return proxyPort_;
}

std::string Preferences::GetMediaDir() const {
    std::lock_guard lock(mutex_);
    return mediaDir_;
}

void Preferences::SetAlwaysOnTop(bool on) {
    std::lock_guard lock(mutex_);
    alwaysOnTop_ = on;
    key_->Value("pref_aot").SetText(on ? "1" : "0");
}

void Preferences::SetHotKeys(bool on) {
    std::lock_guard lock(mutex_);
    hotKeys_ = on;
    key_->Value("pref_hk").SetText(on ? "1" : "0");
}

bool Preferences::GetMediaControls() const {
    std::lock_guard lock(mutex_);
    return mediaControls_;
}

bool Preferences::GetTrackNotices() const {
    std::lock_guard lock(mutex_);
    return trackNotices_;
}

bool Preferences::GetLevelling() const {
    std::lock_guard lock(mutex_);
    return levelling_;
}

void Preferences::SetLevelling(bool on) {
    std::lock_guard lock(mutex_);
    levelling_ = on;
    key_->Value("pref_levelling").SetDword(on ? 1 : 0);
}

void Preferences::SetMediaControls(bool on) {
    std::lock_guard lock(mutex_);
    mediaControls_ = on;
    key_->Value("pref_mpris").SetDword(on ? 1 : 0);
}

void Preferences::SetTrackNotices(bool on) {
    std::lock_guard lock(mutex_);
    trackNotices_ = on;
    key_->Value("pref_notify").SetDword(on ? 1 : 0);
}

void Preferences::SetMediaDir(const std::string& folder) {
    std::lock_guard lock(mutex_);
    mediaDir_ = folder;
    key_->Value("MediaDir").SetText(folder);
}

void Preferences::SetProxyServer(const std::string& server) {
    std::lock_guard lock(mutex_);
    proxyServer_ = server;
    key_->Value("pref_proxyserver").SetText(server);
}

void Preferences::SetProxyPort(std::int32_t port) {
    std::lock_guard lock(mutex_);
    proxyPort_ = port;
    key_->Value("pref_proxyport").SetInt(port);
}

bool Preferences::SetUseProxy(bool on) {
    std::lock_guard lock(mutex_);
    useProxy_ = on && key_->Value("pref_proxyserver").Exists() && key_->Value("pref_proxyport").Exists();
    key_->Value("pref_useproxy").SetText(useProxy_ ? "1" : "0");
    return useProxy_;
}

}  // namespace vorn
