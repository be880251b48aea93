#include "station/media/Transcoder.h"

#include <gst/gst.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>

namespace vorn::station {
namespace {

constexpr GstClockTime kPoll = 100 * GST_MSECOND;

// Owns one GStreamer object reference.
template <typename T>
class GstRef {
public:
    explicit GstRef(T* object = nullptr) : object_(object) {}
    ~GstRef() {
        if (object_ != nullptr) {
            gst_object_unref(object_);
        }
    }
    GstRef(const GstRef&) = delete;
    GstRef& operator=(const GstRef&) = delete;
    T* get() const { return object_; }

private:
    T* object_;
};

bool StartGStreamer(std::string& error) {
    GError* failure = nullptr;
    if (gst_init_check(nullptr, nullptr, &failure)) {
        return true;
    }
    error = std::string("GStreamer cannot start: ") + (failure != nullptr ? failure->message : "unknown error");
    if (failure != nullptr) {
        g_error_free(failure);
    }
    return false;
}

// Counts the buffers of decoded audio that reach the encoder.
GstPadProbeReturn CountBuffer(GstPad*, GstPadProbeInfo*, gpointer counter) {
    static_cast<std::atomic<std::uint64_t>*>(counter)->fetch_add(1, std::memory_order_relaxed);
    return GST_PAD_PROBE_OK;
}

// An error message of the pipeline as one line: what went wrong, and the
// details GStreamer adds (a missing decoder's name, say) without the place in
// its sources where it was noticed.
std::string ErrorText(GstMessage* message) {
    GError* failure = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &failure, &debug);
    std::string text = failure != nullptr ? failure->message : "unknown error";
    if (debug != nullptr) {
        std::string details(debug);
        const std::size_t firstLineEnd = details.find('\n');
        details = firstLineEnd == std::string::npos ? std::string() : details.substr(firstLineEnd + 1);
        for (char& c : details) {
            c = c == '\n' ? ' ' : c;
        }
        if (!details.empty()) {
            text += " (" + details.substr(0, 300) + ")";
        }
    }
    if (failure != nullptr) {
        g_error_free(failure);
    }
    g_free(debug);
    return text;
}

void SetTag(GstElement* tagger, const char* tag, const std::string& value) {
    if (!value.empty()) {
        gst_tag_setter_add_tags(GST_TAG_SETTER(tagger), GST_TAG_MERGE_REPLACE, tag, value.c_str(), nullptr);
    }
}

}  // namespace

bool NeedsMp3Made(const ItemRecord& item) {
    if (!item.format.empty()) {
        return item.format != "mp3";
    }
    // A record without a format (brought by a tool) goes by its name.
    const std::string extension = std::filesystem::path(item.path).extension().string();
    if (extension.size() != 4) {
        return true;
    }
    std::string lower;
    for (char c : extension) {
        lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    }
    return lower != ".mp3";
}

const char* Transcoder::Chain() {
    return "decodebin ! audioconvert ! audioresample ! "
           "lamemp3enc name=encoder target=quality quality=2 encoding-engine-quality=fast ! "
           "xingmux ! id3v2mux name=tagger";
}

Transcoder::Result Transcoder::Run(const ItemRecord& item, const std::string& target, const std::atomic<bool>& stop,
                                   std::string& error) {
    if (::access(item.path.c_str(), R_OK) != 0) {
        error = "cannot open " + item.path;
        return Result::Gone;
    }
    if (!StartGStreamer(error)) {
        return Result::Unavailable;
    }
    GError* parseError = nullptr;
    const std::string description =
        std::string("filesrc name=source ! ") + Chain() + " ! filesink name=sink";
    GstElement* built = gst_parse_launch(description.c_str(), &parseError);
    if (built != nullptr) {
        gst_object_ref_sink(built);
    }
    const GstRef<GstElement> pipeline(built);
    if (pipeline.get() == nullptr || parseError != nullptr) {
        error = std::string("cannot build the MP3 encoder (are gstreamer1.0-plugins-base and -good installed?): ") +
                (parseError != nullptr ? parseError->message : "unknown error");
        if (parseError != nullptr) {
            g_error_free(parseError);
        }
        return Result::Unavailable;
    }
    const GstRef<GstElement> source(gst_bin_get_by_name(GST_BIN(pipeline.get()), "source"));
    const GstRef<GstElement> sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
    const GstRef<GstElement> encoder(gst_bin_get_by_name(GST_BIN(pipeline.get()), "encoder"));
    const GstRef<GstElement> tagger(gst_bin_get_by_name(GST_BIN(pipeline.get()), "tagger"));
    g_object_set(source.get(), "location", item.path.c_str(), nullptr);
    g_object_set(sink.get(), "location", target.c_str(), nullptr);
    // The catalogue's view of the item wins over the file's own tags, which
    // fill in the rest.
    gst_tag_setter_set_tag_merge_mode(GST_TAG_SETTER(tagger.get()), GST_TAG_MERGE_KEEP);
    SetTag(tagger.get(), GST_TAG_ARTIST, item.artist);
    SetTag(tagger.get(), GST_TAG_TITLE, item.title);
    SetTag(tagger.get(), GST_TAG_ALBUM, item.album);
    SetTag(tagger.get(), GST_TAG_GENRE, item.genre);

    std::atomic<std::uint64_t> decoded{0};
    {
        const GstRef<GstPad> input(gst_element_get_static_pad(encoder.get(), "sink"));
        gst_pad_add_probe(input.get(), GST_PAD_PROBE_TYPE_BUFFER, CountBuffer, &decoded, nullptr);
    }

    Result result = Result::Made;
    if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        result = Result::Unusable;
        error = "the pipeline does not start";
    }
    const GstRef<GstBus> bus(gst_element_get_bus(pipeline.get()));
    std::uint64_t seen = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    while (result == Result::Made) {
        GstMessage* message = gst_bus_timed_pop_filtered(
            bus.get(), kPoll, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        if (message != nullptr) {
            if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR &&
                GST_MESSAGE_SRC(message) == GST_OBJECT(sink.get())) {
                result = Result::Unavailable;  // a full disk, say: no fault of the source
                error = "cannot write into " + std::filesystem::path(target).parent_path().string() + ": " +
                        ErrorText(message);
            } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
                // Every other error comes down to the source: the elements
                // themselves were all found when the pipeline was built.
                result = Result::Unusable;
                error = ErrorText(message);
            } else if (decoded.load() == 0) {
                result = Result::Unusable;
                error = "no audio in it";
            }
            gst_message_unref(message);
            break;
        }
        if (stop.load()) {
            result = Result::Stopped;
            error = "stopped";
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (const std::uint64_t count = decoded.load(); count != seen) {
            seen = count;
            lastProgress = now;
        } else if (now - lastProgress > kStall) {
            result = Result::Unusable;
            error = "no audio came out of it for " + std::to_string(kStall.count()) + " s";
        }
    }
    // Closes the file, after the Xing header's final counts were written.
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return result;
}

}  // namespace vorn::station
