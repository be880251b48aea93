#include "ui/CConnectionTabDlg.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QVBoxLayout>

#include <cstdint>
#include <string>

#include "foundation/Preferences.h"
#include "foundation/ServerConfig.h"

namespace vorn {
namespace {

const QString kCaption = QStringLiteral("Connection");
const QString kHostRule = QStringLiteral(
    "a host name (letters, digits, '-' and '.', for example music.example.org) "
    "or an IPv4 address (for example 192.168.1.20)");

std::string Field(const QLineEdit* edit) { return edit->text().trimmed().toStdString(); }

}  // namespace

CConnectionTabDlg::CConnectionTabDlg(Preferences& preferences, QWidget* parent)
    : COptionsPage(parent), preferences_(preferences) {
    auto* station = new QGroupBox(QStringLiteral("Station"), this);
    host_ = new QLineEdit(station);
    host_->setObjectName(QStringLiteral("serverHost"));
    auto* stationForm = new QFormLayout(station);
    stationForm->addRow(QStringLiteral("Station &host : "), host_);

    auto* proxy = new QGroupBox(QStringLiteral("Proxy"), this);
    useProxy_ = new QCheckBox(QStringLiteral("&Use a proxy"), proxy);
    useProxy_->setObjectName(QStringLiteral("useProxy"));
    proxyServer_ = new QLineEdit(proxy);
    proxyServer_->setObjectName(QStringLiteral("proxyServer"));
    proxyPort_ = new QLineEdit(proxy);
    proxyPort_->setObjectName(QStringLiteral("proxyPort"));
    proxyPort_->setMaxLength(5);
    auto* proxyForm = new QFormLayout(proxy);
    proxyForm->addRow(useProxy_);
    proxyForm->addRow(QStringLiteral("Proxy &server : "), proxyServer_);
    proxyForm->addRow(QStringLiteral("Proxy &port : "), proxyPort_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(station);
    layout->addWidget(proxy);
    layout->addStretch(1);

    host_->setText(QString::fromStdString(ServerConfig::Host()));
    useProxy_->setChecked(preferences_.GetUseProxy());
    proxyServer_->setText(QString::fromStdString(preferences_.GetProxyServer()));
    const std::int32_t port = preferences_.GetProxyPort();
    if (port > 0) proxyPort_->setText(QString::number(port));

    auto follow = [this](bool on) {
        proxyServer_->setEnabled(on);
        proxyPort_->setEnabled(on);
    };
    follow(useProxy_->isChecked());
    connect(useProxy_, &QCheckBox::toggled, this, follow);
}

bool CConnectionTabDlg::Validate() {
    if (!ServerConfig::IsValidHost(Field(host_))) {
        Refuse(host_, QStringLiteral("The station host must be ") + kHostRule + QStringLiteral("."));
        return false;
    }
    const bool use = useProxy_->isChecked();
    const std::string server = Field(proxyServer_);
    if ((use || !server.empty()) && !ServerConfig::IsValidHost(server)) {
        Refuse(proxyServer_, QStringLiteral("The proxy server must be ") + kHostRule + QStringLiteral("."));
        return false;
    }
    const std::string port = Field(proxyPort_);
    std::int32_t number = 0;
    if ((use || !port.empty()) && !ServerConfig::ParsePort(port, number)) {
        Refuse(proxyPort_, QStringLiteral("The proxy port must be a whole number from 1 to 65535."));
        return false;
    }
    return true;
}

bool CConnectionTabDlg::Apply() {
    if (!Validate()) return false;

    const std::string host = Field(host_);
    if (host != ServerConfig::Host()) ServerConfig::SetHost(host);

    const bool use = useProxy_->isChecked();
    if (!use && preferences_.GetUseProxy()) preferences_.SetUseProxy(false);
    const std::string server = Field(proxyServer_);
    if (!server.empty() && server != preferences_.GetProxyServer()) preferences_.SetProxyServer(server);
    std::int32_t port = 0;
    if (ServerConfig::ParsePort(Field(proxyPort_), port) && port != preferences_.GetProxyPort()) {
        preferences_.SetProxyPort(port);
    }
    if (use && !preferences_.GetUseProxy()) preferences_.SetUseProxy(true);
    return true;
}

void CConnectionTabDlg::Refuse(QLineEdit* field, const QString& text) {
    QMessageBox box(QMessageBox::Warning, kCaption, text, QMessageBox::Ok, this);
    box.exec();
    field->setFocus();
    field->selectAll();
}

}  // namespace vorn
