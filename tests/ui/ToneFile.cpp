#include "tests/ui/ToneFile.h"

#include <gst/gst.h>

#include <cmath>
#include <string>

namespace vorn::test {

bool WriteToneMp3(const std::string& path, double seconds, double amplitude) {
    gst_init(nullptr, nullptr);
    const long buffers = std::lround(seconds * 100.0);
    const std::string description =
        "audiotestsrc num-buffers=" + std::to_string(buffers) + " volume=" + std::to_string(amplitude) +
        " samplesperbuffer=441 ! audio/x-raw,rate=44100,channels=1 ! audioconvert ! lamemp3enc target=bitrate cbr=true bitrate=64"
        " ! filesink name=out";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (pipeline == nullptr || error != nullptr) {
        if (error != nullptr) g_error_free(error);
        if (pipeline != nullptr) gst_object_unref(pipeline);
        return false;
    }
    GstElement* out = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    g_object_set(out, "location", path.c_str(), nullptr);
    gst_object_unref(out);

    bool ok = false;
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE) {
        GstBus* bus = gst_element_get_bus(pipeline);
        GstMessage* message = gst_bus_timed_pop_filtered(
            bus, 60 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        ok = message != nullptr && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
        if (message != nullptr) gst_message_unref(message);
        gst_object_unref(bus);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return ok;
}

}  // namespace vorn::test
