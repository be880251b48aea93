#pragma once

#include <QDialog>
#include <QRect>

#include <optional>
#include <string>
#include <vector>

namespace vorn {

// A dialog with a tool-tip facility: areas of the dialog may carry a tip, shown
// when the pointer rests there while the process-wide switch is on (it starts
// on). The skinned window registers no area, so it never shows a tip.
class CToolTipDialog : public QDialog {
public:
    explicit CToolTipDialog(QWidget* parent = nullptr);

    static bool ToolTipsEnabled();
    static void SetToolTipsEnabled(bool enabled);

    // `area` in client coordinates.
    void AddToolTipArea(const QRect& area, std::string text);
    // The tip for a client point: the first registered area containing it.
    std::optional<std::string> ToolTipAt(const QPoint& point) const;

protected:
    bool event(QEvent* event) override;

private:
    struct Area {
        QRect rect;
        std::string text;
    };
    std::vector<Area> areas_;
};

}  // namespace vorn
