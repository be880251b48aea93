#pragma once

#include <mutex>
#include <string>

#include "ui/CVornUIDlgDirectShow.h"

namespace vorn {

// The program's main window: the media window, plus one INFO line "Display : "
// with the text each time the display's first line changes to something new.
// The log then tells what the listener was shown (the connect texts, the wait
// and download texts, every title), which is what a support request and the
// end-to-end test need; the percentages and times of the second line stay out.
class CVornAppWindow : public CVornUIDlgDirectShow {
public:
    explicit CVornAppWindow(UiThread& uiThread) : CVornUIDlgDirectShow(uiThread) {}

    bool SetDisplayText(const std::string& line1, const std::string& line2 = std::string()) override;

private:
    std::mutex loggedMutex_;  // guards lastLogged_: the player's threads and the window thread show texts
    std::string lastLogged_;
};

}  // namespace vorn
