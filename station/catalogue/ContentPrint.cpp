#include "station/catalogue/ContentPrint.h"

#include <chromaprint.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <taglib/mpegfile.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <fstream>
#include <unordered_set>

#include "station/catalogue/DecodeMessage.h"
#include "station/catalogue/DecodeWorker.h"
#include "station/catalogue/GStreamerStart.h"

namespace vorn::station {
namespace {

constexpr int kRate = 11025;
constexpr auto kDecodeLimit = std::chrono::seconds(60);
constexpr GstClockTime kPullWait = 100 * GST_MSECOND;
// Prints are compared shifted by up to this many values (about a second):
// encoders and rips place the first sound a little differently.
constexpr int kMostShift = 8;
// Overlaps shorter than this many values (about five seconds) tell nothing.
constexpr std::size_t kLeastOverlap = 40;
constexpr std::int64_t kMostFrameBytes = 8 << 20;
constexpr std::uint64_t kHashStart = 14695981039346656037ull;
// A worker's own limit is kDecodeLimit; this one also covers a worker stuck
// in a plug-in that its own limit cannot end.
constexpr std::chrono::seconds kWorkerLimit = 2 * kDecodeLimit;

// FNV-1a over the samples' bytes.
void HashInto(std::uint64_t& hash, const guint8* data, std::size_t size) {
    for (std::size_t at = 0; at < size; ++at) {
        hash ^= data[at];
        hash *= 1099511628211ull;
    }
}

// Owns what one decoding holds and lets it go in every case.
struct Decoding {
    GstElement* pipeline = nullptr;
    GstAppSink* sink = nullptr;
    GstBus* bus = nullptr;
    ChromaprintContext* printer = nullptr;

    ~Decoding() {
        if (pipeline != nullptr) {
            gst_element_set_state(pipeline, GST_STATE_NULL);
        }
        if (bus != nullptr) gst_object_unref(bus);
        if (sink != nullptr) gst_object_unref(sink);
        if (pipeline != nullptr) gst_object_unref(pipeline);
        if (printer != nullptr) chromaprint_free(printer);
    }
};

// The outcome an error message of the pipeline stands for, with its text.
PrintOutcome Judge(GstMessage* message, std::string& problem) {
    GError* error = nullptr;
    gst_message_parse_error(message, &error, nullptr);
    PrintOutcome outcome = PrintOutcome::Unreadable;
    if (error != nullptr) {
        problem = error->message;
        if ((error->domain == GST_CORE_ERROR && error->code == GST_CORE_ERROR_MISSING_PLUGIN) ||
            (error->domain == GST_STREAM_ERROR && error->code == GST_STREAM_ERROR_CODEC_NOT_FOUND)) {
            outcome = PrintOutcome::NoDecoder;
        }
        g_error_free(error);
    }
    return outcome;
}

}  // namespace

PrintOutcome MakeContentPrintHere(const std::string& path, ContentPrint& out, std::string& problem) {
    out = ContentPrint();
    if (!StartGStreamer(problem)) {
        return PrintOutcome::NoDecoder;
    }
    Decoding decoding;
    GError* parseError = nullptr;
    decoding.pipeline = gst_parse_launch(
        "filesrc name=source ! decodebin ! audioconvert dithering=none noise-shaping=none ! audioresample ! "
        "audio/x-raw,format=S16LE,rate=11025,channels=1,layout=interleaved ! appsink name=sink sync=false",
        &parseError);
    if (decoding.pipeline == nullptr || parseError != nullptr) {
        problem = std::string("cannot build the decoder: ") + (parseError != nullptr ? parseError->message : "");
        if (parseError != nullptr) {
            g_error_free(parseError);
        }
        return PrintOutcome::NoDecoder;
    }
    GstElement* source = gst_bin_get_by_name(GST_BIN(decoding.pipeline), "source");
    g_object_set(source, "location", path.c_str(), nullptr);
    gst_object_unref(source);
    decoding.sink = GST_APP_SINK(gst_bin_get_by_name(GST_BIN(decoding.pipeline), "sink"));
    decoding.bus = gst_element_get_bus(decoding.pipeline);
    decoding.printer = chromaprint_new(CHROMAPRINT_ALGORITHM_DEFAULT);
    if (decoding.printer == nullptr || chromaprint_start(decoding.printer, kRate, 1) == 0 ||
        gst_element_set_state(decoding.pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        problem = "cannot start decoding";
        GstMessage* message = gst_bus_pop_filtered(decoding.bus, GST_MESSAGE_ERROR);
        const PrintOutcome outcome = message != nullptr ? Judge(message, problem) : PrintOutcome::Unreadable;
        if (message != nullptr) gst_message_unref(message);
        return outcome;
    }

    const auto deadline = std::chrono::steady_clock::now() + kDecodeLimit;
    const std::size_t wanted = static_cast<std::size_t>(kRate) * kPrintSeconds;
    std::size_t samples = 0;
    std::uint64_t hash = kHashStart;
    while (samples < wanted) {
        if (GstSample* sample = gst_app_sink_try_pull_sample(decoding.sink, kPullWait); sample != nullptr) {
            GstBuffer* buffer = gst_sample_get_buffer(sample);
            GstMapInfo map;
            if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
                const std::size_t count = std::min(map.size / 2, wanted - samples);
                chromaprint_feed(decoding.printer, reinterpret_cast<const std::int16_t*>(map.data),
                                 static_cast<int>(count));
                HashInto(hash, map.data, count * 2);
                samples += count;
                gst_buffer_unmap(buffer, &map);
            }
            gst_sample_unref(sample);
            continue;
        }
        if (GstMessage* message = gst_bus_pop_filtered(decoding.bus, GST_MESSAGE_ERROR); message != nullptr) {
            const PrintOutcome outcome = Judge(message, problem);
            gst_message_unref(message);
            return outcome;
        }
        if (gst_app_sink_is_eos(decoding.sink)) {
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            problem = "decoding did not get on";
            return PrintOutcome::Unreadable;
        }
    }
    if (samples == 0) {
        problem = "no sound in it";
        return PrintOutcome::Unreadable;
    }
    gint64 duration = 0;
    if (samples < wanted) {
        duration = static_cast<gint64>(gst_util_uint64_scale(samples, GST_SECOND, kRate));
    } else if (!gst_element_query_duration(decoding.pipeline, GST_FORMAT_TIME, &duration)) {
        duration = 0;
    }
    out.seconds = static_cast<std::int32_t>((std::max<gint64>(duration, 0) + GST_SECOND / 2) / GST_SECOND);

    std::uint32_t* values = nullptr;
    int size = 0;
    if (chromaprint_finish(decoding.printer) == 1 &&
        chromaprint_get_raw_fingerprint(decoding.printer, &values, &size) == 1 && values != nullptr) {
        out.print.assign(values, values + std::max(size, 0));
        if (!out.print.empty()) {
            chromaprint_hash_fingerprint(values, size, &out.printHash);
        }
    }
    if (values != nullptr) {
        chromaprint_dealloc(values);
    }
    out.key = hash == 0 ? 1 : hash;
    return PrintOutcome::Made;
}

std::string ContentPrintAnswer(const std::string& path) {
    ContentPrint print;
    std::string problem;
    const PrintOutcome outcome = MakeContentPrintHere(path, print, problem);
    DecodeMessage message;
    message.PutU32(static_cast<std::uint32_t>(outcome));
    message.PutString(problem);
    message.PutU64(print.key);
    message.PutU32(print.printHash);
    message.PutU32(static_cast<std::uint32_t>(print.seconds));
    message.PutU32(static_cast<std::uint32_t>(print.print.size()));
    for (const std::uint32_t value : print.print) {
        message.PutU32(value);
    }
    return message.Bytes();
}

PrintOutcome MakeContentPrint(const std::string& path, ContentPrint& out, std::string& problem) {
    std::string answer;
    switch (DecodeWorker::Ask(kPrintRequest, path, path, nullptr, kWorkerLimit, answer, problem)) {
        case DecodeWorker::Answer::Unavailable: return MakeContentPrintHere(path, out, problem);
        case DecodeWorker::Answer::Ended:
        case DecodeWorker::Answer::Stopped: out = ContentPrint(); return PrintOutcome::Unreadable;
        case DecodeWorker::Answer::Given: break;
    }
    out = ContentPrint();
    DecodeMessage message(std::move(answer));
    std::uint32_t outcome = 0;
    std::uint32_t seconds = 0;
    std::uint32_t count = 0;
    if (message.GetU32(outcome) && message.GetString(problem) && message.GetU64(out.key) &&
        message.GetU32(out.printHash) && message.GetU32(seconds) && message.GetU32(count) &&
        count <= message.Bytes().size() / sizeof(std::uint32_t)) {
        out.seconds = static_cast<std::int32_t>(seconds);
        out.print.resize(count);
        for (std::uint32_t& value : out.print) {
            message.GetU32(value);
        }
    }
    if (!message.Done() || outcome > static_cast<std::uint32_t>(PrintOutcome::Unreadable)) {
        out = ContentPrint();
        problem = "the decoding worker's answer is damaged";
        return PrintOutcome::Unreadable;
    }
    return static_cast<PrintOutcome>(outcome);
}

std::uint64_t MpegFramesKey(const std::string& path) {
    std::int64_t first = 0;
    std::int64_t last = 0;
    {
        TagLib::MPEG::File file(path.c_str(), false);
        if (!file.isValid()) {
            return 0;
        }
        first = file.firstFrameOffset();
        last = file.lastFrameOffset();
    }
    if (first < 0 || last <= first) {
        return 0;
    }
    std::ifstream in(path, std::ios::binary);
    in.seekg(first);
    std::uint64_t hash = kHashStart;
    std::vector<char> block(1 << 16);
    for (std::int64_t left = std::min(last - first, kMostFrameBytes); left > 0 && in;) {
        in.read(block.data(), static_cast<std::streamsize>(std::min<std::int64_t>(left, block.size())));
        const std::streamsize got = in.gcount();
        if (got <= 0) {
            return 0;
        }
        HashInto(hash, reinterpret_cast<const guint8*>(block.data()), static_cast<std::size_t>(got));
        left -= got;
    }
    const std::int64_t span = last - first;
    HashInto(hash, reinterpret_cast<const guint8*>(&span), sizeof span);
    return hash == 0 ? 1 : hash;
}

double PrintDistance(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    double best = 1.0;
    for (int shift = -kMostShift; shift <= kMostShift; ++shift) {
        const std::size_t aStart = shift > 0 ? static_cast<std::size_t>(shift) : 0;
        const std::size_t bStart = shift < 0 ? static_cast<std::size_t>(-shift) : 0;
        if (aStart >= a.size() || bStart >= b.size()) {
            continue;
        }
        const std::size_t overlap = std::min(a.size() - aStart, b.size() - bStart);
        if (overlap < kLeastOverlap) {
            continue;
        }
        std::size_t differing = 0;
        for (std::size_t at = 0; at < overlap; ++at) {
            differing += static_cast<std::size_t>(std::popcount(a[aStart + at] ^ b[bStart + at]));
        }
        best = std::min(best, static_cast<double>(differing) / (32.0 * static_cast<double>(overlap)));
    }
    return best;
}

bool IsInformative(const std::vector<std::uint32_t>& print) {
    if (print.size() < kLeastOverlap + 2 * kMostShift) {
        return false;
    }
    const std::unordered_set<std::uint32_t> distinct(print.begin(), print.end());
    return distinct.size() * 4 >= print.size();
}

}  // namespace vorn::station
