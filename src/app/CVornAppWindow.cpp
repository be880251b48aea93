#include "app/CVornAppWindow.h"

#include "foundation/LogEntry.h"

namespace vorn {

bool CVornAppWindow::SetDisplayText(const std::string& line1, const std::string& line2) {
    const bool shown = CVornUIDlgDirectShow::SetDisplayText(line1, line2);
    if (shown && !line1.empty()) {
        bool changed = false;
        {
            std::lock_guard lock(loggedMutex_);
            changed = line1 != lastLogged_;
            if (changed) lastLogged_ = line1;
        }
        if (changed) {
            VORN_LOG(LogLevel::Info) << "Display : " << line1;
        }
    }
    return shown;
}

}  // namespace vorn
