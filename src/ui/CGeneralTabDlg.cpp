#include "ui/CGeneralTabDlg.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "foundation/Preferences.h"
#include "ui/WindowSystem.h"

namespace vorn {

namespace {

QString FromNarrow(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

CGeneralTabDlg::CGeneralTabDlg(Preferences& preferences, QWidget* parent)
    : COptionsPage(parent), preferences_(preferences) {
    auto* display = new QGroupBox(QStringLiteral("Display"), this);
    alwaysOnTop_ = new QCheckBox(QStringLiteral("Always On Top"), display);
    alwaysOnTop_->setObjectName(QStringLiteral("alwaysOnTop"));
    (new QVBoxLayout(display))->addWidget(alwaysOnTop_);
    if (!WindowSystem::CanKeepOnTop()) {
        alwaysOnTop_->setEnabled(false);
        alwaysOnTop_->setToolTip(QString::fromLatin1(WindowSystem::kNoKeepOnTop));
    }

    auto* hotKeysGroup = new QGroupBox(QStringLiteral("Hotkeys"), this);
    hotKeys_ = new QCheckBox(QStringLiteral("Enable Hotkeys"), hotKeysGroup);
    hotKeys_->setObjectName(QStringLiteral("enableHotkeys"));
    (new QVBoxLayout(hotKeysGroup))->addWidget(hotKeys_);

    auto* desktop = new QGroupBox(QStringLiteral("Desktop"), this);
    mediaControls_ = new QCheckBox(QStringLiteral("Media controls"), desktop);
    mediaControls_->setObjectName(QStringLiteral("mediaControls"));
    mediaControls_->setToolTip(QStringLiteral("The desktop's media keys and player widgets control Vorn"));
    trackNotices_ = new QCheckBox(QStringLiteral("Track notices"), desktop);
    trackNotices_->setObjectName(QStringLiteral("trackNotices"));
    trackNotices_->setToolTip(QStringLiteral("A notice for each new track, with a button per star"));
    auto* desktopRow = new QHBoxLayout(desktop);
    desktopRow->addWidget(mediaControls_);
    desktopRow->addWidget(trackNotices_);

    auto* playback = new QGroupBox(QStringLiteral("Playback"), this);
    levelling_ = new QCheckBox(QStringLiteral("Level loudness"), playback);
    levelling_->setObjectName(QStringLiteral("levelLoudness"));
    levelling_->setToolTip(QStringLiteral("Every track as loud as the next, where the station has measured it"));
    (new QVBoxLayout(playback))->addWidget(levelling_);

    auto* media = new QGroupBox(QStringLiteral("Media"), this);
    auto* label = new QLabel(QStringLiteral("Media Folder : "), media);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    mediaFolder_ = new QLineEdit(media);
    mediaFolder_->setObjectName(QStringLiteral("mediaFolder"));
    label->setBuddy(mediaFolder_);
    browse_ = new QPushButton(QStringLiteral("..."), media);
    browse_->setObjectName(QStringLiteral("browse"));
    // Its face says "..."; a screen reader says what it does.
    browse_->setAccessibleName(QStringLiteral("Browse for the media folder"));
    browse_->setFixedWidth(browse_->fontMetrics().horizontalAdvance(QStringLiteral("...")) + 16);
    auto* mediaRow = new QHBoxLayout(media);
    mediaRow->addWidget(label);
    mediaRow->addWidget(mediaFolder_, 1);
    mediaRow->addWidget(browse_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(display);
    layout->addWidget(hotKeysGroup);
    layout->addWidget(desktop);
    layout->addWidget(playback);
    layout->addWidget(media);
    layout->addStretch(1);

    alwaysOnTop_->setChecked(preferences_.GetAlwaysOnTop());
    hotKeys_->setChecked(preferences_.GetHotKeys());
    mediaControls_->setChecked(preferences_.GetMediaControls());
    trackNotices_->setChecked(preferences_.GetTrackNotices());
    levelling_->setChecked(preferences_.GetLevelling());
    mediaFolder_->setText(FromNarrow(preferences_.GetMediaDir()));

    connect(browse_, &QPushButton::clicked, this, [this] { BrowseForFolder(); });
}

bool CGeneralTabDlg::Apply() {
    preferences_.SetAlwaysOnTop(alwaysOnTop_->isChecked());
    preferences_.SetHotKeys(hotKeys_->isChecked());
    if (mediaControls_->isChecked() != preferences_.GetMediaControls()) {
        preferences_.SetMediaControls(mediaControls_->isChecked());
    }
    if (trackNotices_->isChecked() != preferences_.GetTrackNotices()) {
        preferences_.SetTrackNotices(trackNotices_->isChecked());
    }
    if (levelling_->isChecked() != preferences_.GetLevelling()) {
        preferences_.SetLevelling(levelling_->isChecked());
    }

    const std::string folder = mediaFolder_->text().toStdString();
    const std::string stored = preferences_.GetMediaDir();
    if (folder == stored) return true;
    if (!ConfirmMediaFolderChange()) {
        mediaFolder_->setText(FromNarrow(stored));
        return false;
    }
    preferences_.SetMediaDir(folder);
    return true;
}

bool CGeneralTabDlg::ConfirmMediaFolderChange() {
    QMessageBox box(QMessageBox::Information, QStringLiteral("Media Folder"),
                    QStringLiteral("Are you sure you wish to change the Vorn media folder? "
                                   "All media in the current folder will be moved."),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

void CGeneralTabDlg::BrowseForFolder() {
    const QString folder = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Please select a folder and press 'OK'."), mediaFolder_->text(),
        QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty()) mediaFolder_->setText(folder);
}

}  // namespace vorn
