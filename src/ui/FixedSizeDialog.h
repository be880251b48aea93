#pragma once

#include <QDialog>
#include <QSize>

namespace vorn {

// Makes a small dialog fixed: a title and a close button only, no maximise or
// minimise, and a size the window manager cannot change (equal minimum and
// maximum size hints), so it offers no resizing either.
inline void MakeFixedSizeDialog(QDialog& dialog, const QSize& size) {
    dialog.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint);
    dialog.setFixedSize(size);
}

}  // namespace vorn
