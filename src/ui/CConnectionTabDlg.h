#pragma once

#include "ui/COptionsPage.h"

class QCheckBox;
class QLineEdit;

namespace vorn {

class Preferences;

// The "Connection" page of the options dialog: the station's host ("ServerHost")
// and the HTTP proxy ("pref_useproxy", "pref_proxyserver", "pref_proxyport"),
// shown as stored when the page is built. The proxy's server and port can be
// edited only while "Use a proxy" is ticked.
class CConnectionTabDlg : public COptionsPage {
public:
    explicit CConnectionTabDlg(Preferences& preferences, QWidget* parent = nullptr);

    // Checks every field without writing anything. A bad one is named in a
    // warning box, gets the focus, and the result is false. The host must be a
    // host name or IPv4 address; with the box ticked the proxy needs both a
    // server (host name or address) and a port (1..65535); unticked, a proxy
    // field that holds text must still be valid, an empty one is left alone.
    bool Validate() override;
    // Validates, then writes only what differs from the store. The flag goes
    // off before a new server or port is written and on after them, so a
    // connection never reads a half-changed proxy as in use.
    bool Apply() override;

private:
    void Refuse(QLineEdit* field, const QString& text);

    Preferences& preferences_;
    QLineEdit* host_;
    QCheckBox* useProxy_;
    QLineEdit* proxyServer_;
    QLineEdit* proxyPort_;
};

}  // namespace vorn
