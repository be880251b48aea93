#include "station/media/LoudnessMeter.h"

#include <ebur128.h>
#include <gst/app/gstappsink.h>

#include <algorithm>
#include <cmath>

#include "station/catalogue/DecodeMessage.h"
#include "station/catalogue/DecodeWorker.h"
#include "station/media/LowPriorityPipeline.h"

namespace vorn::station {
namespace {

// A decoder that delivers nothing for this long is taken for hung.
constexpr std::chrono::seconds kStall(30);

// What the appsink's streaming thread feeds, read by the caller once the
// pipeline has ended (its threads joined).
struct Measurement {
    ebur128_state* state = nullptr;
    unsigned channels = 0;
    unsigned long rate = 0;
    bool failed = false;
    std::atomic<std::uint64_t> buffers{0};

    ~Measurement() {
        if (state != nullptr) {
            ebur128_destroy(&state);
        }
    }

    // Follows the stream's format, which may change within a file (a chained
    // Ogg stream).
    bool Fit(unsigned streamChannels, unsigned long streamRate) {
        if (state != nullptr && streamChannels == channels && streamRate == rate) {
            return true;
        }
        if (state == nullptr) {
            state = ebur128_init(streamChannels, streamRate, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
        } else if (ebur128_change_parameters(state, streamChannels, streamRate) != EBUR128_SUCCESS) {
            return false;
        }
        if (state == nullptr) {
            return false;
        }
        channels = streamChannels;
        rate = streamRate;
        // Left and right; a mono track is heard from both speakers.
        ebur128_set_channel(state, 0, channels == 1 ? EBUR128_DUAL_MONO : EBUR128_LEFT);
        if (channels == 2) {
            ebur128_set_channel(state, 1, EBUR128_RIGHT);
        }
        return true;
    }
};

GstFlowReturn OnSample(GstAppSink* sink, gpointer data) {
    auto& measurement = *static_cast<Measurement*>(data);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (sample == nullptr) {
        return GST_FLOW_EOS;
    }
    GstFlowReturn result = GST_FLOW_OK;
    const GstStructure* format = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
    gint channels = 0;
    gint rate = 0;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstMapInfo map{};
    if (format == nullptr || !gst_structure_get_int(format, "channels", &channels) ||
        !gst_structure_get_int(format, "rate", &rate) || channels < 1 || channels > 2 || rate < 1 ||
        !measurement.Fit(static_cast<unsigned>(channels), static_cast<unsigned long>(rate))) {
        measurement.failed = true;
        result = GST_FLOW_ERROR;
    } else if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        const std::size_t frames = map.size / (sizeof(float) * static_cast<std::size_t>(channels));
        if (ebur128_add_frames_float(measurement.state, reinterpret_cast<const float*>(map.data), frames) !=
            EBUR128_SUCCESS) {
            measurement.failed = true;
            result = GST_FLOW_ERROR;
        }
        gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
    measurement.buffers.fetch_add(1);
    return result;
}

}  // namespace

double LevellingGain(const Loudness& loudness) {
    // The gain is told to a tenth of a dB: the peak's limit is taken down to
    // a tenth, so that the gain as told still keeps the peak below the
    // ceiling (the small term absorbs the binary fractions of tenths).
    const double peakLimit = std::floor((kCeilingDbtp - loudness.truePeakDbtp) * 10 + 1e-6) / 10;
    return std::min({kReferenceLufs - loudness.integratedLufs, peakLimit, kMostGainDb});
}

bool LoudnessMeter::Measure(const std::string& path, const std::atomic<bool>& stop, Loudness& out,
                            std::string& error) {
    std::string answer;
    switch (DecodeWorker::Ask(kRequest, path, path, &stop, std::chrono::seconds(0), answer, error)) {
        case DecodeWorker::Answer::Unavailable: return MeasureHere(path, stop, out, error);
        case DecodeWorker::Answer::Ended:
        case DecodeWorker::Answer::Stopped: return false;
        case DecodeWorker::Answer::Given: break;
    }
    DecodeMessage message(std::move(answer));
    std::uint32_t measured = 0;
    Loudness loudness;
    if (!message.GetU32(measured) || !message.GetString(error) || !message.GetDouble(loudness.integratedLufs) ||
        !message.GetDouble(loudness.truePeakDbtp) || !message.Done()) {
        error = "the decoding worker's answer is damaged";
        return false;
    }
    if (measured == 1) {
        out = loudness;
    }
    return measured == 1;
}

std::string LoudnessMeter::Answer(const std::string& path) {
    const std::atomic<bool> never{false};
    Loudness loudness;
    std::string error;
    const bool measured = MeasureHere(path, never, loudness, error);
    DecodeMessage message;
    message.PutU32(measured ? 1 : 0);
    message.PutString(error);
    message.PutDouble(loudness.integratedLufs);
    message.PutDouble(loudness.truePeakDbtp);
    return message.Bytes();
}

bool LoudnessMeter::MeasureHere(const std::string& path, const std::atomic<bool>& stop, Loudness& out,
                                std::string& error) {
    LowPriorityPipeline pipeline;
    if (!pipeline.Build("filesrc name=source ! decodebin ! audioconvert ! "
                        "audio/x-raw,format=F32LE,layout=interleaved,channels=[1,2] ! "
                        "appsink name=sink sync=false",
                        error)) {
        return false;
    }
    g_object_set(pipeline.Element("source"), "location", path.c_str(), nullptr);
    Measurement measurement;
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = OnSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(pipeline.Element("sink")), &callbacks, &measurement, nullptr);
    if (!pipeline.Play(stop, measurement.buffers, kStall, error)) {
        return false;
    }
    if (measurement.state == nullptr || measurement.failed) {
        error = "no audio decoded";
        return false;
    }
    double integrated = 0;
    double peak = 0;
    for (unsigned channel = 0; channel < measurement.channels; ++channel) {
        double channelPeak = 0;
        if (ebur128_true_peak(measurement.state, channel, &channelPeak) == EBUR128_SUCCESS) {
            peak = std::max(peak, channelPeak);
        }
    }
    if (ebur128_loudness_global(measurement.state, &integrated) != EBUR128_SUCCESS || !std::isfinite(integrated) ||
        !(peak > 0) || !std::isfinite(peak)) {
        error = "silent";
        return false;
    }
    out.integratedLufs = integrated;
    out.truePeakDbtp = 20 * std::log10(peak);
    return true;
}

}  // namespace vorn::station
