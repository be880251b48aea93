#include "ui/GstMediaBackend.h"

#include <gst/gst.h>

#include <cmath>
#include <mutex>
#include <sstream>
#include <type_traits>
#include <utility>

#include "ui/MediaGraph.h"

namespace vorn {

namespace {

constexpr std::int32_t kWarning = 2;  // the program's LogLevel::Warning

// One warning line, handed to the program's log when it goes.
class WarningLine {
public:
    explicit WarningLine(MediaLogSink sink) : sink_(sink) {}
    ~WarningLine() {
        if (sink_ != nullptr) sink_(kWarning, text_.str().c_str());
    }
    template <typename T>
    WarningLine& operator<<(const T& value) {
        text_ << value;
        return *this;
    }

private:
    MediaLogSink sink_;
    std::ostringstream text_;
};

// playbin's "flags": GST_PLAY_FLAG_VIDEO and GST_PLAY_FLAG_TEXT. The library's
// items are audio files; a stray video or subtitle stream must never open a window.
constexpr guint kPlayFlagVideo = 1u << 0;
constexpr guint kPlayFlagText = 1u << 2;

void InitialiseGStreamerOnce() {
    static std::once_flag once;
    std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

// Maps a GStreamer error to our code and logs what GStreamer said.
std::int32_t CodeFromError(MediaLogSink log, GstMessage* message, const char* context, const std::string& path) {
    GError* error = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    std::int32_t code = MediaGraph::kBackendFailure;
    if (error != nullptr) {
        if (error->domain == GST_RESOURCE_ERROR) {
            code = error->code == GST_RESOURCE_ERROR_NOT_FOUND ? MediaGraph::kFileNotFound
                                                               : MediaGraph::kResourceFailure;
        } else if (error->domain == GST_STREAM_ERROR ||
                   (error->domain == GST_CORE_ERROR && error->code == GST_CORE_ERROR_MISSING_PLUGIN)) {
            code = MediaGraph::kNotPlayable;
        }
    }
    WarningLine(log) << "MediaGraph : " << context << " : " << path << " : "
                                << (error != nullptr ? error->message : "unknown error");
    if (error != nullptr) g_error_free(error);
    g_free(debug);
    return code;
}

// The code for a refused state change: from the error GStreamer posted, if any.
std::int32_t RefusalCode(MediaLogSink log, GstElement* pipeline, const char* context, const std::string& path) {
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* error = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
    std::int32_t code = MediaGraph::kStateChangeFailed;
    if (error != nullptr) {
        code = CodeFromError(log, error, context, path);
        gst_message_unref(error);
    }
    gst_object_unref(bus);
    return code;
}

std::int32_t ChangeState(MediaLogSink log, GstElement* pipeline, GstState target, const std::string& path) {
    if (gst_element_set_state(pipeline, target) != GST_STATE_CHANGE_FAILURE) return 0;
    return RefusalCode(log, pipeline, "State change failed", path);
}

// Loads the plugin of an element factory, when it is installed.
void LoadFactory(GstElementFactory* factory) {
    if (GstPluginFeature* loaded = gst_plugin_feature_load(GST_PLUGIN_FEATURE(factory))) gst_object_unref(loaded);
}

void LoadFactory(const char* name) {
    if (GstElementFactory* factory = gst_element_factory_find(name)) {
        LoadFactory(factory);
        gst_object_unref(factory);
    }
}

// Loads the element decodebin would take first for a stream of `caps`.
void LoadBestFor(const char* caps, GstElementFactoryListType type) {
    GstCaps* wanted = gst_caps_from_string(caps);
    if (wanted == nullptr) return;
    GList* all = gst_element_factory_list_get_elements(type, GST_RANK_MARGINAL);  // highest rank first
    GList* fitting = gst_element_factory_list_filter(all, wanted, GST_PAD_SINK, FALSE);
    if (fitting != nullptr) LoadFactory(GST_ELEMENT_FACTORY(fitting->data));
    gst_plugin_feature_list_free(fitting);
    gst_plugin_feature_list_free(all);
    gst_caps_unref(wanted);
}

}  // namespace

GstMediaBackend::GstMediaBackend(std::chrono::milliseconds prerollLimit, MediaLogSink log)
    : prerollLimit_(prerollLimit), log_(log) {}

void GstMediaBackend::LoadPlugins() {
    InitialiseGStreamerOnce();
    for (const char* name : {"playbin", "filesrc", "typefind", "audioconvert", "audioresample", "volume"}) {
        LoadFactory(name);
    }
    if (GstPlugin* finders = gst_plugin_load_by_name("typefindfunctions")) gst_object_unref(finders);
    LoadBestFor("application/x-id3", GST_ELEMENT_FACTORY_TYPE_DEMUXER);
    LoadBestFor("audio/mpeg, mpegversion=(int)1, layer=(int)3", GST_ELEMENT_FACTORY_TYPE_PARSER);
    LoadBestFor("audio/mpeg, mpegversion=(int)1, layer=(int)3, parsed=(boolean)true",
                GST_ELEMENT_FACTORY_TYPE_DECODER);
    // The device search loads the plugins of the sinks it tries; the sink it
    // found is closed again at once.
    if (GstElement* sink = gst_element_factory_make("autoaudiosink", nullptr)) {
        gst_object_ref_sink(sink);
        gst_element_set_state(sink, GST_STATE_READY);
        gst_element_set_state(sink, GST_STATE_NULL);
        gst_object_unref(sink);
    }
}

GstMediaBackend::~GstMediaBackend() { Release(); }

void GstMediaBackend::Prepare() {
    if (state_ == MediaGraph::kEmpty && spare_ == nullptr) spare_ = MakePlaybin();
}

GstElement* GstMediaBackend::MakePlaybin() {
    InitialiseGStreamerOnce();
    GstElement* playbin = gst_element_factory_make("playbin", nullptr);
    if (playbin == nullptr) return nullptr;
    gst_object_ref_sink(playbin);
    guint flags = 0;
    g_object_get(playbin, "flags", &flags, nullptr);
    g_object_set(playbin, "flags", flags & ~(kPlayFlagVideo | kPlayFlagText), nullptr);
    GstElement* sink = gst_element_factory_make("autoaudiosink", nullptr);
    if (sink == nullptr && (sink = gst_element_factory_make("fakesink", nullptr)) != nullptr) {
        g_object_set(sink, "sync", TRUE, nullptr);
    }
    if (sink != nullptr) {
        // The device is found now (READY): the playbin takes the sink as it is.
        gst_element_set_state(sink, GST_STATE_READY);
        g_object_set(playbin, "audio-sink", sink, nullptr);
    }
    return playbin;
}

std::int32_t GstMediaBackend::Load(const std::string& path, std::optional<double> gainDb) {
    GstElement* prepared = std::exchange(spare_, nullptr);
    Release();
    spare_ = prepared;
    if (path.empty()) return MediaGraph::kBadPath;
    InitialiseGStreamerOnce();

    GError* uriError = nullptr;
    gchar* uri = gst_filename_to_uri(path.c_str(), &uriError);
    if (uri == nullptr) {
        WarningLine(log_) << "MediaGraph : Bad media path : " << path;
        if (uriError != nullptr) g_error_free(uriError);
        return MediaGraph::kBadPath;
    }

    GstElement* playbin = spare_ != nullptr ? std::exchange(spare_, nullptr) : MakePlaybin();
    if (playbin == nullptr) {
        g_free(uri);
        WarningLine(log_) << "MediaGraph : GStreamer's playbin is not installed";
        return MediaGraph::kNoPlaybin;
    }
    pipeline_ = playbin;
    g_object_set(playbin, "uri", uri, nullptr);
    g_free(uri);

    // The filter is there for every file, so that levelling can be switched on
    // while one plays; at a factor of 1 it passes the audio through untouched.
    if (GstElement* volume = gst_element_factory_make("volume", nullptr)) {
        volume_ = GST_ELEMENT(gst_object_ref_sink(volume));
        g_object_set(playbin, "audio-filter", volume_, nullptr);
        gainDb_ = gainDb;
        ApplyVolume();
    } else {
        static std::once_flag told;
        std::call_once(told, [this] {
            WarningLine(log_) << "MediaGraph : GStreamer's volume element is not installed; "
                                           "tracks play without levelled loudness";
        });
    }

    std::int32_t code = 0;
    switch (gst_element_set_state(playbin, GST_STATE_PAUSED)) {
        case GST_STATE_CHANGE_FAILURE: code = RefusalCode(log_, playbin, "Load failed", path); break;
        case GST_STATE_CHANGE_ASYNC: code = WaitForPreroll(path); break;
        default: break;  // prerolled at once, or a live source that never prerolls
    }
    if (code != 0) {
        Release();
        return code;
    }
    path_ = path;
    state_ = MediaGraph::kStopped;
    return 0;
}

std::int32_t GstMediaBackend::WaitForPreroll(const std::string& path) {
    GstBus* bus = gst_element_get_bus(pipeline_);
    // Only the pipeline itself posts ASYNC_DONE on the bus; its children's are
    // collected by their bins.
    GstMessage* message = gst_bus_timed_pop_filtered(
        bus, static_cast<GstClockTime>(prerollLimit_.count()) * GST_MSECOND,
        static_cast<GstMessageType>(GST_MESSAGE_ASYNC_DONE | GST_MESSAGE_ERROR));
    std::int32_t code = 0;
    if (message == nullptr) {
        WarningLine(log_) << "MediaGraph : Load timed out : " << path << " : not ready within "
                                    << prerollLimit_.count() << " ms";
        code = MediaGraph::kPrerollTimeout;
    } else {
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) code = CodeFromError(log_, message, "Load failed", path);
        gst_message_unref(message);
    }
    gst_object_unref(bus);
    return code;
}

void GstMediaBackend::Release() {
    for (GstElement** held : {&pipeline_, &spare_}) {
        if (*held != nullptr) {
            gst_element_set_state(*held, GST_STATE_NULL);
            gst_object_unref(*held);
            *held = nullptr;
        }
    }
    if (volume_ != nullptr) {
        gst_object_unref(volume_);
        volume_ = nullptr;
    }
    gainDb_.reset();
    path_.clear();
    state_ = MediaGraph::kEmpty;
    lastSeekTarget_.reset();
    duration_.reset();
}

void GstMediaBackend::SetLevelling(bool on) {
    levelling_ = on;
    ApplyVolume();
}

double GstMediaBackend::Volume() const {
    return levelling_ && gainDb_ && volume_ != nullptr ? std::pow(10.0, *gainDb_ / 20.0) : 1.0;
}

void GstMediaBackend::ApplyVolume() {
    if (volume_ != nullptr) g_object_set(volume_, "volume", Volume(), nullptr);
}

std::int32_t GstMediaBackend::Run() {
    if (state_ != MediaGraph::kStopped && state_ != MediaGraph::kPaused) return MediaGraph::kRunRefused;
    if (std::int32_t code = ChangeState(log_, pipeline_, GST_STATE_PLAYING, path_); code != 0) return code;
    state_ = MediaGraph::kRunning;
    return 0;
}

std::int32_t GstMediaBackend::Pause() {
    if (state_ != MediaGraph::kRunning && state_ != MediaGraph::kStopped) return MediaGraph::kPauseRefused;
    if (std::int32_t code = ChangeState(log_, pipeline_, GST_STATE_PAUSED, path_); code != 0) return code;
    state_ = MediaGraph::kPaused;
    return 0;
}

std::int32_t GstMediaBackend::Stop() {
    if (state_ != MediaGraph::kRunning && state_ != MediaGraph::kPaused) return MediaGraph::kStopRefused;
    if (std::int32_t code = ChangeState(log_, pipeline_, GST_STATE_READY, path_); code != 0) return code;
    // An end or error of the run just stopped must not be reported for the next.
    DrainBus(GST_MESSAGE_ANY);
    state_ = MediaGraph::kStopped;
    return 0;
}

bool GstMediaBackend::IsComplete() {
    if (state_ != MediaGraph::kRunning) return false;
    bool complete = false;
    GstBus* bus = gst_element_get_bus(pipeline_);
    // Everything else on the bus (state changes, tags, warnings) is of no use to
    // us and is dropped here, so the queue cannot grow during a long run.
    while (GstMessage* message = gst_bus_pop(bus)) {
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_DURATION_CHANGED) {
            duration_.reset();
        } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
            complete = true;
        } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            CodeFromError(log_, message, "Playback error", path_);
            complete = true;
        }
        gst_message_unref(message);
    }
    gst_object_unref(bus);
    return complete;
}

std::int32_t GstMediaBackend::Query(bool position, double& seconds) const {
    if (state_ != MediaGraph::kRunning) return MediaGraph::kNotRunning;
    if (!position && duration_) {
        seconds = *duration_;
        return 0;
    }
    gint64 value = -1;
    const bool answered = position ? gst_element_query_position(pipeline_, GST_FORMAT_TIME, &value)
                                   : gst_element_query_duration(pipeline_, GST_FORMAT_TIME, &value);
    if (!answered || value < 0) return MediaGraph::kQueryFailed;
    seconds = static_cast<double>(value) / static_cast<double>(GST_SECOND);
    if (!position) duration_ = seconds;
    return 0;
}

std::int32_t GstMediaBackend::GetPosition(double& seconds) const { return Query(true, seconds); }

std::int32_t GstMediaBackend::GetDuration(double& seconds) const { return Query(false, seconds); }

std::int32_t GstMediaBackend::SeekForward() {
    if (state_ != MediaGraph::kRunning) return MediaGraph::kNotRunning;
    double duration = 0.0;
    double position = 0.0;
    if (std::int32_t code = GetDuration(duration); code != 0) return code;
    if (std::int32_t code = GetPosition(position); code != 0) return code;
    if (position >= duration) return MediaGraph::kNotRunning;
    return SeekTo(position + MediaGraph::kSeekStepSeconds);
}

std::int32_t GstMediaBackend::SeekBack() {
    if (state_ != MediaGraph::kRunning) return MediaGraph::kNotRunning;
    double duration = 0.0;
    double position = 0.0;
    if (std::int32_t code = GetDuration(duration); code != 0) return code;
    if (std::int32_t code = GetPosition(position); code != 0) return code;
    if (position <= 0.0) return MediaGraph::kNotRunning;
    return SeekTo(position - MediaGraph::kSeekStepSeconds);
}

std::int32_t GstMediaBackend::SeekToSeconds(double seconds) {
    if (state_ != MediaGraph::kRunning) return MediaGraph::kNotRunning;
    return SeekTo(seconds);
}

std::int32_t GstMediaBackend::SeekTo(double seconds) {
    lastSeekTarget_ = seconds;
    // GStreamer times are unsigned: a target before the start means the start.
    // A target past the end is passed on; the parser answers it with the end of
    // the stream.
    const gint64 target =
        seconds <= 0.0 ? 0 : static_cast<gint64>(std::llround(seconds * static_cast<double>(GST_SECOND)));
    // An end reached before this seek is over once the seek has moved away from it.
    DrainBus(GST_MESSAGE_EOS);
    if (!gst_element_seek_simple(pipeline_, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH, target)) {
        WarningLine(log_) << "MediaGraph : Seek refused : " << path_ << " : " << seconds;
        return MediaGraph::kSeekFailed;
    }
    return 0;
}

void GstMediaBackend::DrainBus(int types) {
    duration_.reset();  // a change of it may be among what is dropped
    GstBus* bus = gst_element_get_bus(pipeline_);
    while (GstMessage* message = gst_bus_pop_filtered(bus, static_cast<GstMessageType>(types))) {
        gst_message_unref(message);
    }
    gst_object_unref(bus);
}

}  // namespace vorn

// The module's entries (see MediaBackend.h).
extern "C" __attribute__((visibility("default"))) vorn::MediaBackend* vorn_make_media_backend(
    std::int64_t prerollMs, vorn::MediaLogSink log) noexcept {
    try {
        return new vorn::GstMediaBackend(std::chrono::milliseconds(prerollMs), log);
    } catch (...) {
        return nullptr;
    }
}

extern "C" __attribute__((visibility("default"))) void vorn_load_media_plugins(vorn::MediaLogSink) noexcept {
    vorn::GstMediaBackend::LoadPlugins();
}

static_assert(std::is_same_v<decltype(&vorn_make_media_backend), vorn::MediaBackendMaker>,
              "the entry must match what the program calls");
static_assert(std::is_same_v<decltype(&vorn_load_media_plugins), vorn::MediaPluginsLoader>,
              "the entry must match what the program calls");
