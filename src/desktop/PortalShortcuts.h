#pragma once

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <string>
#include <vector>

namespace vorn {

// The desktop's global keys through the desktop portal
// (org.freedesktop.portal.GlobalShortcuts): where the session offers it, a key
// works whichever window has the keyboard, also on Wayland, where a key grab
// on the X display only works while one of its windows has it.
//
// Probe asks once whether the portal is there; Bind creates a portal session
// and binds the keys to it, Unbind closes the session. Every call is sent
// without waiting (given up after a second); answers come as portal responses.
//
// Window thread only.
class PortalShortcuts : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kService = "org.freedesktop.portal.Desktop";
    static constexpr const char* kPath = "/org/freedesktop/portal/desktop";
    static constexpr const char* kInterface = "org.freedesktop.portal.GlobalShortcuts";
    static constexpr int kCallTimeoutMs = 1000;

    struct Shortcut {
        std::string id;
        std::string description;
        std::string preferredTrigger;
    };
    using Activated = std::function<void(const std::string& id)>;
    using Available = std::function<void(bool available)>;

    PortalShortcuts(QDBusConnection connection, std::vector<Shortcut> shortcuts, Activated onActivated);
    ~PortalShortcuts() override;

    // Calls `done` once: true when the portal offers global shortcuts.
    void Probe(Available done);
    bool IsAvailable() const { return available_; }
    void Bind();
    void Unbind();

private slots:
    void OnResponse(uint code, const QVariantMap& results);
    void OnActivated(const QDBusObjectPath& session, const QString& id, qulonglong timestamp,
                     const QVariantMap& options);

private:
    // The path the portal answers a request with this token on.
    QString RequestPath(const QString& token) const;
    void Send(const QString& method, const QList<QVariant>& arguments, const QString& token);
    void SendBindShortcuts();

    QDBusConnection connection_;
    const std::vector<Shortcut> shortcuts_;
    Activated onActivated_;
    bool available_ = false;
    bool wanted_ = false;   // bound unless Unbind came since
    QString session_;       // the portal session, once created
    QString pendingRequest_;  // the request whose response is awaited
    int tokens_ = 0;
};

}  // namespace vorn
