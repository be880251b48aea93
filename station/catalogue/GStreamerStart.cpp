#include "station/catalogue/GStreamerStart.h"

#include <gst/gst.h>

namespace vorn::station {

bool StartGStreamer(std::string& error) {
    GError* initError = nullptr;
    if (gst_init_check(nullptr, nullptr, &initError)) {
        return true;
    }
    error = std::string("GStreamer cannot start: ") + (initError != nullptr ? initError->message : "");
    if (initError != nullptr) {
        g_error_free(initError);
    }
    return false;
}

}  // namespace vorn::station
