#pragma once

#include "ui/COptionsPage.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace vorn {

class Preferences;

// The "General" page of the options dialog: always on top, hot keys, the
// desktop's media controls and track notices, levelled loudness, and the media
// folder, shown as stored in the preferences when the page is built.
class CGeneralTabDlg : public COptionsPage {
public:
    explicit CGeneralTabDlg(Preferences& preferences, QWidget* parent = nullptr);

    // Writes the check boxes at once. An unchanged media folder (compared
    // exactly, letter case included) is accepted; a changed one is stored only
    // after the listener confirms moving the media. Refused: the stored folder
    // goes back into the edit and the result is false.
    bool Apply() override;

private:
    bool ConfirmMediaFolderChange();
    void BrowseForFolder();

    Preferences& preferences_;
    QCheckBox* alwaysOnTop_;
    QCheckBox* hotKeys_;
    QCheckBox* mediaControls_;
    QCheckBox* trackNotices_;
    QCheckBox* levelling_;
    QLineEdit* mediaFolder_;
    QPushButton* browse_;
};

}  // namespace vorn
