#include "station/media/ArtScaler.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>

#include <algorithm>
#include <cmath>

#include "station/catalogue/DecodeMessage.h"
#include "station/catalogue/DecodeWorker.h"
#include "station/media/LowPriorityPipeline.h"

namespace vorn::station {
namespace {

constexpr std::chrono::seconds kStall(20);
// A worker's own pipeline ends when it stalls for kStall; this also covers a
// worker stuck in a plug-in.
constexpr std::chrono::seconds kWorkerLimit(120);
constexpr int kQuality = 85;

// Shared by the decoder's pad-added handler and the sink, both on streaming
// threads; read by the caller once the pipeline has ended.
struct Scaling {
    GstElement* size = nullptr;     // the capsfilter that sets the output size
    GstElement* convert = nullptr;  // where the decoded picture goes
    std::string refused;            // why the decoded picture was not used
    std::string jpeg;
    std::atomic<std::uint64_t> steps{0};
};

// Ends the pipeline with an error: a stream that is not linked would never
// let the end of the stream reach the sink.
void Refuse(Scaling& scaling, GstElement* decode, const std::string& why) {
    scaling.refused = why;
    GError* failure = g_error_new_literal(GST_STREAM_ERROR, GST_STREAM_ERROR_DECODE, why.c_str());
    gst_element_post_message(decode, gst_message_new_error(GST_OBJECT(decode), failure, nullptr));
    g_error_free(failure);
}

// The decoded picture's size is known here: the size it is scaled to is set,
// and the picture goes on to be scaled, unless it is too large. A picture
// that could not be decoded comes here without a size (decodebin hands on
// the end of its stream).
void OnDecodedPad(GstElement* decode, GstPad* pad, gpointer data) {
    auto& scaling = *static_cast<Scaling*>(data);
    scaling.steps.fetch_add(1);
    GstCaps* caps = gst_pad_get_current_caps(pad);
    const GstStructure* format = caps != nullptr ? gst_caps_get_structure(caps, 0) : nullptr;
    gint width = 0;
    gint height = 0;
    const bool video = format != nullptr && gst_structure_has_name(format, "video/x-raw") &&
                       gst_structure_get_int(format, "width", &width) &&
                       gst_structure_get_int(format, "height", &height) && width > 0 && height > 0;
    if (caps != nullptr) {
        gst_caps_unref(caps);
    }
    GstPad* next = gst_element_get_static_pad(scaling.convert, "sink");
    const bool taken = gst_pad_is_linked(next);  // only the first picture of a file that holds several
    gst_object_unref(next);
    if (taken) {
        return;
    }
    if (!video) {
        Refuse(scaling, decode, "no picture decoded");
        return;
    }
    if (static_cast<long long>(width) * height > ArtScaler::kMostPixels) {
        Refuse(scaling, decode,
               "a picture of " + std::to_string(width) + " x " + std::to_string(height) + " pixels is too large");
        return;
    }
    const double factor = std::min(1.0, static_cast<double>(ArtScaler::kLongestSide) / std::max(width, height));
    const int scaledWidth = std::max(1, static_cast<int>(std::lround(width * factor)));
    const int scaledHeight = std::max(1, static_cast<int>(std::lround(height * factor)));
    GstCaps* size = gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, scaledWidth, "height", G_TYPE_INT,
                                        scaledHeight, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
    g_object_set(scaling.size, "caps", size, nullptr);
    gst_caps_unref(size);
    next = gst_element_get_static_pad(scaling.convert, "sink");
    if (gst_pad_link(pad, next) != GST_PAD_LINK_OK) {
        Refuse(scaling, decode, "the picture cannot be scaled");
    }
    gst_object_unref(next);
}

GstFlowReturn OnJpeg(GstAppSink* sink, gpointer data) {
    auto& scaling = *static_cast<Scaling*>(data);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (sample == nullptr) {
        return GST_FLOW_EOS;
    }
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstMapInfo map{};
    if (scaling.jpeg.empty() && buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        scaling.jpeg.assign(reinterpret_cast<const char*>(map.data), map.size);  // the first frame of any
        gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
    scaling.steps.fetch_add(1);
    return GST_FLOW_OK;
}

}  // namespace

bool ArtScaler::ToJpeg(const std::string& picture, const std::atomic<bool>& stop, std::string& jpeg,
                       std::string& error) {
    if (picture.empty() || picture.size() > kMostBytes) {
        return ToJpegHere(picture, stop, jpeg, error);  // refused before anything is decoded
    }
    std::string answer;
    switch (DecodeWorker::Ask(kRequest, "a picture of " + std::to_string(picture.size()) + " bytes", picture, &stop,
                              kWorkerLimit, answer, error)) {
        case DecodeWorker::Answer::Unavailable: return ToJpegHere(picture, stop, jpeg, error);
        case DecodeWorker::Answer::Ended:
        case DecodeWorker::Answer::Stopped: return false;
        case DecodeWorker::Answer::Given: break;
    }
    DecodeMessage message(std::move(answer));
    std::uint32_t made = 0;
    std::string madeJpeg;
    if (!message.GetU32(made) || !message.GetString(error) || !message.GetString(madeJpeg) || !message.Done()) {
        error = "the decoding worker's answer is damaged";
        return false;
    }
    if (made == 1) {
        jpeg = std::move(madeJpeg);
    }
    return made == 1;
}

std::string ArtScaler::Answer(const std::string& picture) {
    const std::atomic<bool> never{false};
    std::string jpeg;
    std::string error;
    const bool made = ToJpegHere(picture, never, jpeg, error);
    DecodeMessage message;
    message.PutU32(made ? 1 : 0);
    message.PutString(error);
    message.PutString(jpeg);
    return message.Bytes();
}

bool ArtScaler::ToJpegHere(const std::string& picture, const std::atomic<bool>& stop, std::string& jpeg,
                           std::string& error) {
    if (picture.empty()) {
        error = "an empty picture";
        return false;
    }
    if (picture.size() > kMostBytes) {
        error = "a picture of " + std::to_string(picture.size() >> 20) + " MiB is too large";
        return false;
    }
    LowPriorityPipeline pipeline;
    // The decoder is linked to the rest once the picture's size is known.
    if (!pipeline.Build("appsrc name=source ! decodebin name=decode "
                        "videoconvert name=convert ! videoscale method=lanczos ! capsfilter name=size ! "
                        "jpegenc quality=" + std::to_string(kQuality) + " ! appsink name=sink sync=false",
                        error)) {
        return false;
    }
    Scaling scaling;
    scaling.size = pipeline.Element("size");
    scaling.convert = pipeline.Element("convert");
    g_signal_connect(pipeline.Element("decode"), "pad-added", G_CALLBACK(OnDecodedPad), &scaling);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = OnJpeg;
    gst_app_sink_set_callbacks(GST_APP_SINK(pipeline.Element("sink")), &callbacks, &scaling, nullptr);

    GstAppSrc* source = GST_APP_SRC(pipeline.Element("source"));
    GstBuffer* buffer = gst_buffer_new_memdup(picture.data(), picture.size());
    if (gst_app_src_push_buffer(source, buffer) != GST_FLOW_OK ||  // takes the buffer
        gst_app_src_end_of_stream(source) != GST_FLOW_OK) {
        error = "the picture cannot be handed to the decoder";
        return false;
    }
    const bool played = pipeline.Play(stop, scaling.steps, kStall, error);
    if (!scaling.refused.empty()) {
        error = scaling.refused;
        return false;
    }
    if (!played) {
        return false;
    }
    if (scaling.jpeg.empty()) {
        error = "no picture decoded";
        return false;
    }
    jpeg = std::move(scaling.jpeg);
    return true;
}

}  // namespace vorn::station
