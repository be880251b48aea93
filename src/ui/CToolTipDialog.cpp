#include "ui/CToolTipDialog.h"

#include <QHelpEvent>
#include <QToolTip>

#include <atomic>

namespace vorn {

namespace {
std::atomic<bool> toolTipsEnabled{true};
}  // namespace

CToolTipDialog::CToolTipDialog(QWidget* parent) : QDialog(parent) {}

bool CToolTipDialog::ToolTipsEnabled() {
    return toolTipsEnabled.load();
}

void CToolTipDialog::SetToolTipsEnabled(bool enabled) {
    toolTipsEnabled.store(enabled);
}

void CToolTipDialog::AddToolTipArea(const QRect& area, std::string text) {
    areas_.push_back(Area{area, std::move(text)});
}

std::optional<std::string> CToolTipDialog::ToolTipAt(const QPoint& point) const {
    for (const Area& area : areas_) {
        if (area.rect.contains(point)) {
            return area.text;
        }
    }
    return std::nullopt;
}

bool CToolTipDialog::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const std::optional<std::string> tip =
            ToolTipsEnabled() ? ToolTipAt(help->pos()) : std::nullopt;
        if (tip) {
            QToolTip::showText(help->globalPos(), QString::fromStdString(*tip), this);
            event->accept();
        } else {
            QToolTip::hideText();
            event->ignore();
        }
        return true;
    }
    return QDialog::event(event);
}

}  // namespace vorn
