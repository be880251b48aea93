#include "ui/StarSweep.h"

namespace vorn {

int StarSweep::Next() {
    const int shown = stars_;
    if (upwards_) {
        if (stars_ == 4) {
            upwards_ = false;  // 5 is still shown next
        }
        ++stars_;
    } else {
        if (stars_ == 1) {
            upwards_ = true;  // 0 is still shown next
        }
        --stars_;
    }
    return shown;
}

}  // namespace vorn
