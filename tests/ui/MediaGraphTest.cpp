#include "ui/MediaGraph.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <vector>
#include <thread>

#include "tests/support/LoopbackServer.h"
#include "tests/support/ScopedLog.h"
#include "tests/support/TempDir.h"
#include "tests/ui/ToneFile.h"

namespace vorn {
namespace {

using Clock = std::chrono::steady_clock;
using test::WaitFor;

// What the graph sends to the audio device: a probe on the sink pad of the
// sink at the end of the playbin (whichever autoaudiosink chose), summing the
// squares of the samples by their time in the stream.
class OutputMeter {
public:
    explicit OutputMeter(GstElement* pipeline) {
        GstIterator* elements = gst_bin_iterate_recurse(GST_BIN(pipeline));
        GValue item = G_VALUE_INIT;
        while (pad_ == nullptr && gst_iterator_next(elements, &item) == GST_ITERATOR_OK) {
            GstElement* element = GST_ELEMENT(g_value_get_object(&item));
            if (!GST_IS_BIN(element) && GST_OBJECT_FLAG_IS_SET(element, GST_ELEMENT_FLAG_SINK)) {
                pad_ = gst_element_get_static_pad(element, "sink");
            }
            g_value_reset(&item);
        }
        g_value_unset(&item);
        gst_iterator_free(elements);
        if (pad_ != nullptr) probe_ = gst_pad_add_probe(pad_, GST_PAD_PROBE_TYPE_BUFFER, &OutputMeter::OnBuffer, this, nullptr);
    }
    ~OutputMeter() {
        if (pad_ == nullptr) return;
        gst_pad_remove_probe(pad_, probe_);
        gst_object_unref(pad_);
    }
    bool Attached() const { return pad_ != nullptr; }
    // Whether samples up to that time (seconds) have reached the sink.
    bool Reached(double seconds) {
        std::lock_guard lock(mutex_);
        return latest_ >= seconds;
    }
    // The RMS level (dB of full scale) of the samples timed from `from` to `to`; none without samples.
    std::optional<double> Level(double from, double to) {
        std::lock_guard lock(mutex_);
        double squares = 0.0;
        std::size_t count = 0;
        for (const Block& block : blocks_) {
            if (block.seconds >= from && block.seconds < to) {
                squares += block.squares;
                count += block.samples;
            }
        }
        if (count == 0) return std::nullopt;
        return 10.0 * std::log10(squares / static_cast<double>(count));
    }

private:
    struct Block {
        double seconds;
        double squares;
        std::size_t samples;
    };

    static GstPadProbeReturn OnBuffer(GstPad* pad, GstPadProbeInfo* info, gpointer self) {
        auto* meter = static_cast<OutputMeter*>(self);
        GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        GstCaps* caps = gst_pad_get_current_caps(pad);
        const char* format = caps != nullptr ? gst_structure_get_string(gst_caps_get_structure(caps, 0), "format") : nullptr;
        const std::string kind = format != nullptr ? format : "";
        if (caps != nullptr) gst_caps_unref(caps);
        GstMapInfo map;
        if (!GST_BUFFER_PTS_IS_VALID(buffer) || !gst_buffer_map(buffer, &map, GST_MAP_READ)) return GST_PAD_PROBE_OK;
        Block block{static_cast<double>(GST_BUFFER_PTS(buffer)) / GST_SECOND, 0.0, 0};
        const auto add = [&](double sample) {
            block.squares += sample * sample;
            ++block.samples;
        };
        const auto each = [&](auto type, double scale) {
            using Sample = decltype(type);
            for (std::size_t at = 0; at + sizeof(Sample) <= map.size; at += sizeof(Sample)) {
                Sample sample;
                std::memcpy(&sample, map.data + at, sizeof(Sample));
                add(static_cast<double>(sample) / scale);
            }
        };
        if (kind == "S16LE") each(std::int16_t{}, 32768.0);
        else if (kind == "S32LE") each(std::int32_t{}, 2147483648.0);
        else if (kind == "F32LE") each(float{}, 1.0);
        else if (kind == "F64LE") each(double{}, 1.0);
        else ADD_FAILURE() << "unexpected sample format " << kind;
        gst_buffer_unmap(buffer, &map);
        std::lock_guard lock(meter->mutex_);
        meter->latest_ = std::max(meter->latest_, block.seconds);
        meter->blocks_.push_back(block);
        return GST_PAD_PROBE_OK;
    }

    GstPad* pad_ = nullptr;
    gulong probe_ = 0;
    std::mutex mutex_;  // guards blocks_ and latest_: the streaming thread adds, the test reads
    std::vector<Block> blocks_;
    double latest_ = -1.0;
};

class MediaGraphTest : public ::testing::Test {
protected:
    // An MP3 tone of the given length, written on first use.
    std::string Tone(double seconds, const std::string& name = "") {
        auto found = tones_.find(seconds);
        if (found != tones_.end()) return found->second;
        const std::string path = home_ / (name.empty() ? "tone " + std::to_string(seconds) + ".mp3" : name);
        EXPECT_TRUE(test::WriteToneMp3(path, seconds)) << path;
        tones_[seconds] = path;
        return path;
    }

    // Loads and runs a file, then waits until playback has passed `seconds`.
    void RunUntil(MediaGraph& graph, double seconds) {
        double position = 0.0;
        ASSERT_TRUE(WaitFor([&] { return graph.GetPosition(position) == 0 && position >= seconds; }, 10000))
            << "position " << position;
    }

    bool WaitForCompletion(MediaGraph& graph, int timeoutMs) {
        return WaitFor([&] { return graph.IsComplete(); }, timeoutMs);
    }

    test::IsolatedHome home_;
    test::ScopedLog log_;
    std::map<double, std::string> tones_;
};

TEST_F(MediaGraphTest, LoadRunPauseStopAndReleaseWalkThroughTheStates) {
    MediaGraph graph;
    EXPECT_EQ(graph.State(), MediaGraph::kEmpty);
    const std::string path = Tone(4.0, "a tone with spaces.mp3");

    ASSERT_EQ(graph.Load(path), 0);
    EXPECT_EQ(graph.State(), MediaGraph::kStopped);
    EXPECT_EQ(graph.Path(), path);

    ASSERT_EQ(graph.Run(), 0);
    EXPECT_EQ(graph.State(), MediaGraph::kRunning);
    RunUntil(graph, 0.3);
    // The parser knows the duration once it has seen enough frames.
    double duration = 0.0;
    ASSERT_TRUE(WaitFor([&] { return graph.GetDuration(duration) == 0; }, 5000));
    EXPECT_NEAR(duration, 4.0, 0.1);

    ASSERT_EQ(graph.Pause(), 0);
    EXPECT_EQ(graph.State(), MediaGraph::kPaused);
    double position = 0.0;
    EXPECT_EQ(graph.GetPosition(position), MediaGraph::kNotRunning);

    ASSERT_EQ(graph.Run(), 0);
    ASSERT_EQ(graph.Stop(), 0);
    EXPECT_EQ(graph.State(), MediaGraph::kStopped);
    EXPECT_EQ(graph.Path(), path);

    // A stopped graph starts again from the beginning.
    ASSERT_EQ(graph.Run(), 0);
    ASSERT_TRUE(WaitFor([&] { return graph.GetPosition(position) == 0; }, 5000));
    EXPECT_LT(position, 0.3);

    graph.Release();
    EXPECT_EQ(graph.State(), MediaGraph::kEmpty);
    EXPECT_EQ(graph.Path(), "");
}

TEST_F(MediaGraphTest, CallsInTheWrongStateAreRefusedWithTheirOwnCodes) {
    MediaGraph graph;
    double seconds = 0.0;
    // Empty.
    EXPECT_EQ(graph.Run(), INT32_MIN);  // 0x80000000
    EXPECT_EQ(graph.Pause(), INT32_MIN + 1);
    EXPECT_EQ(graph.Stop(), INT32_MIN + 4);
    EXPECT_EQ(graph.GetPosition(seconds), INT32_MIN + 2);
    EXPECT_EQ(graph.GetDuration(seconds), INT32_MIN + 2);
    EXPECT_EQ(graph.SeekForward(), INT32_MIN + 2);
    EXPECT_EQ(graph.SeekBack(), INT32_MIN + 2);
    EXPECT_FALSE(graph.IsComplete());
    EXPECT_EQ(graph.State(), MediaGraph::kEmpty);

    ASSERT_EQ(graph.Load(Tone(1.0)), 0);
    // Stopped.
    EXPECT_EQ(graph.Stop(), MediaGraph::kStopRefused);
    EXPECT_EQ(graph.GetDuration(seconds), MediaGraph::kNotRunning);
    EXPECT_EQ(graph.SeekForward(), MediaGraph::kNotRunning);
    EXPECT_EQ(graph.State(), MediaGraph::kStopped);
    // Paused, straight from stopped.
    ASSERT_EQ(graph.Pause(), 0);
    EXPECT_EQ(graph.Pause(), MediaGraph::kPauseRefused);
    EXPECT_EQ(graph.SeekBack(), MediaGraph::kNotRunning);
    EXPECT_FALSE(graph.IsComplete());
    EXPECT_EQ(graph.State(), MediaGraph::kPaused);
    // Running.
    ASSERT_EQ(graph.Run(), 0);
    EXPECT_EQ(graph.Run(), MediaGraph::kRunRefused);
    EXPECT_EQ(graph.State(), MediaGraph::kRunning);
}

TEST_F(MediaGraphTest, AFileThatCannotBePlayedLeavesTheGraphEmpty) {
    MediaGraph graph;
    const std::string missing = home_ / "missing.mp3";
    EXPECT_EQ(graph.Load(missing), MediaGraph::kFileNotFound);
    EXPECT_EQ(graph.State(), MediaGraph::kEmpty);
    EXPECT_EQ(graph.Path(), "");
    EXPECT_EQ(graph.NativePipeline(), nullptr);
    EXPECT_TRUE(log_.Contains("MediaGraph : Load failed : " + missing));

    // A text file under an MP3 name; it also replaces a file that had loaded.
    ASSERT_EQ(graph.Load(Tone(1.0)), 0);
    const std::string text = home_ / "notes.mp3";
    test::WriteFile(text, std::string(4000, 'x') + "\nthis is not audio\n");
    const auto start = Clock::now();
    EXPECT_EQ(graph.Load(text), MediaGraph::kNotPlayable);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4)) << "refused by the decoder, not by the time limit";
    EXPECT_EQ(graph.State(), MediaGraph::kEmpty);
    EXPECT_EQ(graph.Path(), "");
    EXPECT_EQ(graph.Run(), MediaGraph::kRunRefused);

    EXPECT_EQ(graph.Load(""), MediaGraph::kBadPath);
    EXPECT_EQ(graph.State(), MediaGraph::kEmpty);
}

// The audio sink a playbin was given, and its state.
GstState SinkState(GstElement* playbin) {
    GstElement* sink = nullptr;
    g_object_get(playbin, "audio-sink", &sink, nullptr);
    if (sink == nullptr) return GST_STATE_VOID_PENDING;
    const GstState state = GST_STATE(sink);
    gst_object_unref(sink);
    return state;
}

// The names of the plugins this process has loaded.
std::set<std::string> LoadedPlugins() {
    std::set<std::string> names;
    GList* plugins = gst_registry_get_plugin_list(gst_registry_get());
    for (GList* at = plugins; at != nullptr; at = at->next) {
        auto* plugin = GST_PLUGIN(at->data);
        if (gst_plugin_is_loaded(plugin)) names.insert(gst_plugin_get_name(plugin));
    }
    gst_plugin_list_free(plugins);
    return names;
}

TEST_F(MediaGraphTest, AfterLoadPluginsAFileLoadsAndPlaysWithoutAPluginMore) {
    const std::string tone = Tone(1.0);  // made by encoders, which load their own plugins
    MediaGraph::LoadPlugins();
    const std::set<std::string> ahead = LoadedPlugins();
    EXPECT_TRUE(ahead.count("typefindfunctions") == 1 && ahead.count("playback") == 1) << ahead.size();
    MediaGraph graph;
    ASSERT_EQ(graph.Load(tone), 0);
    ASSERT_EQ(graph.Run(), 0);
    RunUntil(graph, 0.2);
    for (const std::string& name : LoadedPlugins()) {
        EXPECT_EQ(ahead.count(name), 1u) << "plugin " << name << " was loaded for the first file";
    }
}

TEST_F(MediaGraphTest, APreparedGraphIsTakenByTheNextLoadAndLetGoByRelease) {
    MediaGraph::LoadPlugins();
    MediaGraph graph;
    const std::string tone = Tone(2.0);
    graph.Prepare();
    GstElement* prepared = graph.PreparedPipeline();
    ASSERT_NE(prepared, nullptr);
    EXPECT_EQ(SinkState(prepared), GST_STATE_READY) << "the device is not found ahead";
    EXPECT_EQ(graph.State(), MediaGraph::kEmpty);
    EXPECT_EQ(graph.NativePipeline(), nullptr);
    graph.Prepare();  // one is enough
    EXPECT_EQ(graph.PreparedPipeline(), prepared);
    EXPECT_EQ(graph.Load(""), MediaGraph::kBadPath);  // refused before it is taken
    EXPECT_EQ(graph.PreparedPipeline(), prepared);

    ASSERT_EQ(graph.Load(tone), 0);
    EXPECT_EQ(graph.NativePipeline(), prepared);
    EXPECT_EQ(graph.PreparedPipeline(), nullptr);
    graph.Prepare();  // not while a file is loaded
    EXPECT_EQ(graph.PreparedPipeline(), nullptr);
    ASSERT_EQ(graph.Run(), 0);
    RunUntil(graph, 0.3);

    // A file that cannot be played uses the prepared graph up like any other.
    graph.Release();
    graph.Prepare();
    ASSERT_NE(graph.PreparedPipeline(), nullptr);
    EXPECT_EQ(graph.Load(home_ / "missing.mp3"), MediaGraph::kFileNotFound);
    EXPECT_EQ(graph.PreparedPipeline(), nullptr);
    EXPECT_EQ(graph.State(), MediaGraph::kEmpty);

    graph.Prepare();
    ASSERT_NE(graph.PreparedPipeline(), nullptr);
    graph.Release();
    EXPECT_EQ(graph.PreparedPipeline(), nullptr) << "a released graph holds no device";
    ASSERT_EQ(graph.Load(tone), 0);  // and builds its own again
    ASSERT_EQ(graph.Run(), 0);
    ASSERT_TRUE(WaitForCompletion(graph, 10000));
}

TEST_F(MediaGraphTest, PlaybackTakesRealTimeAndCompletesOnce) {
    MediaGraph graph;
    ASSERT_EQ(graph.Load(Tone(1.2)), 0);
    const auto start = Clock::now();
    ASSERT_EQ(graph.Run(), 0);
    ASSERT_TRUE(WaitForCompletion(graph, 10000));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1000))
        << "the sink must play at the clock's pace, even without an audio device";
    EXPECT_EQ(graph.State(), MediaGraph::kRunning);
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(graph.IsComplete());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

TEST_F(MediaGraphTest, APausedGraphDoesNotReachItsEnd) {
    MediaGraph graph;
    ASSERT_EQ(graph.Load(Tone(1.0)), 0);
    ASSERT_EQ(graph.Run(), 0);
    ASSERT_EQ(graph.Pause(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_FALSE(graph.IsComplete());
    ASSERT_EQ(graph.Run(), 0);
    EXPECT_TRUE(WaitForCompletion(graph, 10000));
}

TEST_F(MediaGraphTest, AnEndReachedBeforeStopIsNotReportedForTheNextRun) {
    MediaGraph graph;
    ASSERT_EQ(graph.Load(Tone(1.0)), 0);
    ASSERT_EQ(graph.Run(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));  // ends unobserved
    ASSERT_EQ(graph.Stop(), 0);
    const auto start = Clock::now();
    ASSERT_EQ(graph.Run(), 0);
    EXPECT_FALSE(graph.IsComplete());
    ASSERT_TRUE(WaitForCompletion(graph, 10000));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(800));
}

TEST_F(MediaGraphTest, SeekingForwardNearTheEndAsksBeyondItAndEndsTheMedia) {
    MediaGraph graph;
    ASSERT_EQ(graph.Load(Tone(4.0)), 0);
    ASSERT_EQ(graph.Run(), 0);
    double duration = 0.0;
    ASSERT_TRUE(WaitFor([&] { return graph.GetDuration(duration) == 0; }, 5000));
    RunUntil(graph, duration - 1.5);

    const auto seek = Clock::now();
    ASSERT_EQ(graph.SeekForward(), 0);
    ASSERT_TRUE(graph.LastSeekTarget().has_value());
    const double target = *graph.LastSeekTarget();
    EXPECT_NEAR(target - duration, 0.5, 0.25) << "the target is passed on unclamped";
    ASSERT_TRUE(WaitForCompletion(graph, 5000));
    const double playingOn = duration - (target - MediaGraph::kSeekStepSeconds);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - seek).count(), playingOn - 0.4)
        << "ended by the seek, not by playing on";
    EXPECT_EQ(graph.State(), MediaGraph::kRunning);
}

TEST_F(MediaGraphTest, SeekingBackNearTheStartAsksBeforeItAndPlaysFromTheStart) {
    MediaGraph graph;
    ASSERT_EQ(graph.Load(Tone(4.0)), 0);
    ASSERT_EQ(graph.Run(), 0);
    RunUntil(graph, 1.0);

    ASSERT_EQ(graph.SeekBack(), 0);
    ASSERT_TRUE(graph.LastSeekTarget().has_value());
    EXPECT_NEAR(*graph.LastSeekTarget(), -1.0, 0.25) << "the target is passed on unclamped";
    double position = 10.0;
    ASSERT_TRUE(WaitFor([&] { return graph.GetPosition(position) == 0; }, 5000));
    EXPECT_LT(position, 0.6);
    EXPECT_FALSE(graph.IsComplete());
    EXPECT_EQ(graph.State(), MediaGraph::kRunning);
}

TEST_F(MediaGraphTest, SeekingInTheMiddleMovesTwoSeconds) {
    MediaGraph graph;
    ASSERT_EQ(graph.Load(Tone(8.0)), 0);
    ASSERT_EQ(graph.Run(), 0);
    RunUntil(graph, 3.0);
    ASSERT_EQ(graph.SeekBack(), 0);
    double position = 0.0;
    ASSERT_TRUE(WaitFor([&] { return graph.GetPosition(position) == 0; }, 5000));
    EXPECT_NEAR(position, 1.0, 0.4);
    ASSERT_EQ(graph.SeekForward(), 0);
    ASSERT_TRUE(WaitFor([&] { return graph.GetPosition(position) == 0; }, 5000));
    EXPECT_NEAR(position, 3.0, 0.4);
}

TEST_F(MediaGraphTest, AFileOfAlmostSixtySecondsLastsFiftyNineWholeSeconds) {
    MediaGraph graph;
    ASSERT_EQ(graph.Load(Tone(59.9)), 0);
    ASSERT_EQ(graph.Run(), 0);
    double duration = 0.0;
    ASSERT_TRUE(WaitFor([&] { return graph.GetDuration(duration) == 0; }, 5000));
    EXPECT_GT(duration, 59.5);
    EXPECT_EQ(static_cast<int>(duration), 59);
}

// Duration queries that reach the file's parser from the pipeline's sinks.
GstPadProbeReturn CountDurationQuery(GstPad*, GstPadProbeInfo* info, gpointer count) {
    if (GST_QUERY_TYPE(GST_PAD_PROBE_INFO_QUERY(info)) == GST_QUERY_DURATION) ++*static_cast<int*>(count);
    return GST_PAD_PROBE_OK;
}

TEST_F(MediaGraphTest, TheDurationIsAskedOnceUntilTheStreamSaysItChanged) {
    MediaGraph graph;
    ASSERT_EQ(graph.Load(Tone(4.0)), 0);
    ASSERT_EQ(graph.Run(), 0);
    RunUntil(graph, 0.3);
    int queries = 0;
    {
        GstIterator* elements = gst_bin_iterate_recurse(GST_BIN(graph.NativePipeline()));
        GValue item = G_VALUE_INIT;
        while (gst_iterator_next(elements, &item) == GST_ITERATOR_OK) {
            auto* element = GST_ELEMENT(g_value_get_object(&item));
            GstElementFactory* factory = gst_element_get_factory(element);
            if (factory != nullptr && std::string(GST_OBJECT_NAME(factory)) == "mpegaudioparse") {
                GstPad* pad = gst_element_get_static_pad(element, "src");
                gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_QUERY_UPSTREAM, CountDurationQuery, &queries, nullptr);
                gst_object_unref(pad);
            }
            g_value_reset(&item);
        }
        g_value_unset(&item);
        gst_iterator_free(elements);
    }
    // The parser knows the duration once it has seen enough frames; from the
    // answer on, the window's polls do not ask again.
    double duration = 0.0;
    ASSERT_TRUE(WaitFor([&] { return graph.GetDuration(duration) == 0; }, 5000));
    ASSERT_GE(queries, 1) << "the probe sees no duration query";
    const int answered = queries;
    for (int poll = 0; poll < 5; ++poll) {
        ASSERT_EQ(graph.GetDuration(duration), 0);
        EXPECT_NEAR(duration, 4.0, 0.1);
    }
    EXPECT_EQ(queries, answered);

    const int before = queries;
    gst_element_post_message(graph.NativePipeline(),
                             gst_message_new_duration_changed(GST_OBJECT(graph.NativePipeline())));
    EXPECT_FALSE(graph.IsComplete());  // the poll reads the bus
    ASSERT_EQ(graph.GetDuration(duration), 0);
    EXPECT_GT(queries, before);

    // Another file answers its own duration.
    ASSERT_EQ(graph.Load(Tone(2.0)), 0);
    ASSERT_EQ(graph.Run(), 0);
    ASSERT_TRUE(WaitFor([&] { return graph.GetDuration(duration) == 0; }, 5000));
    EXPECT_NEAR(duration, 2.0, 0.1);
}

TEST_F(MediaGraphTest, AnErrorDuringPlaybackCountsAsTheEnd) {
    MediaGraph graph;
    ASSERT_EQ(graph.Load(Tone(4.0)), 0);
    ASSERT_EQ(graph.Run(), 0);
    EXPECT_FALSE(graph.IsComplete());

    GstElement* pipeline = graph.NativePipeline();
    GError* error = g_error_new_literal(GST_STREAM_ERROR, GST_STREAM_ERROR_DECODE, "damaged frame");
    gst_element_post_message(pipeline, gst_message_new_error(GST_OBJECT(pipeline), error, "test"));
    g_error_free(error);

    EXPECT_TRUE(WaitForCompletion(graph, 2000));
    EXPECT_TRUE(log_.Contains("MediaGraph : Playback error : " + graph.Path() + " : damaged frame"));
}

TEST_F(MediaGraphTest, TwoCopiesSixDecibelsApartPlayEquallyLoudAtTheirGainsAndSixApartWithoutLevelling) {
    const std::string loud = home_ / "loud.mp3";
    const std::string quiet = home_ / "quiet.mp3";
    ASSERT_TRUE(test::WriteToneMp3(loud, 3.0, 0.8));
    ASSERT_TRUE(test::WriteToneMp3(quiet, 3.0, 0.8 / std::pow(10.0, 6.0 / 20.0)));
    MediaGraph graph;
    EXPECT_TRUE(graph.Levelling());  // on by default
    // Plays a file at a gain and returns its output level between 0.5 s and 1.5 s.
    const auto play = [&](const std::string& path, std::optional<double> gainDb) -> std::optional<double> {
        EXPECT_EQ(graph.Load(path, gainDb), 0);
        OutputMeter meter(graph.NativePipeline());
        EXPECT_TRUE(meter.Attached());
        EXPECT_EQ(graph.Run(), 0);
        EXPECT_TRUE(WaitFor([&] { return meter.Reached(1.5); }, 10000));
        return meter.Level(0.5, 1.5);
    };
    // The station measured the loud copy 6 dB above its reference and the quiet one at it.
    const std::optional<double> loudLevelled = play(loud, -6.0);
    const std::optional<double> quietLevelled = play(quiet, 0.0);
    ASSERT_TRUE(loudLevelled && quietLevelled);
    EXPECT_NEAR(*loudLevelled, *quietLevelled, 1.0);
    // Gains that do not say the same: each copy by its own.
    const std::optional<double> quietRaised = play(quiet, 4.0);
    ASSERT_TRUE(quietRaised);
    EXPECT_NEAR(*quietRaised - *quietLevelled, 4.0, 1.0);

    graph.SetLevelling(false);
    const std::optional<double> loudAsIs = play(loud, -6.0);
    const std::optional<double> quietAsIs = play(quiet, 0.0);
    ASSERT_TRUE(loudAsIs && quietAsIs);
    EXPECT_NEAR(*loudAsIs - *quietAsIs, 6.0, 1.0);
    EXPECT_NEAR(*loudAsIs - *loudLevelled, 6.0, 1.0);
    EXPECT_EQ(graph.Volume(), 1.0);

    // Switched on while a file plays: the file playing changes, once the
    // audio already decoded (up to a second's) has played.
    ASSERT_EQ(graph.Load(loud, -6.0), 0);
    OutputMeter meter(graph.NativePipeline());
    ASSERT_EQ(graph.Run(), 0);
    RunUntil(graph, 0.5);
    graph.SetLevelling(true);
    EXPECT_NEAR(graph.Volume(), std::pow(10.0, -6.0 / 20.0), 1e-9);
    double switched = 0.0;
    ASSERT_EQ(graph.GetPosition(switched), 0);
    ASSERT_LT(switched, 0.9);
    ASSERT_TRUE(WaitFor([&] { return meter.Reached(switched + 1.9); }, 10000));
    const std::optional<double> before = meter.Level(0.1, 0.4);
    const std::optional<double> after = meter.Level(switched + 1.4, switched + 1.9);
    ASSERT_TRUE(before && after);
    EXPECT_NEAR(*before - *after, 6.0, 1.0);
}

}  // namespace
}  // namespace vorn
