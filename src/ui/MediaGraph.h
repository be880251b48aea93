#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

typedef struct _GstElement GstElement;

namespace vorn {

class MediaBackend;

// One media file prepared for playback through a GStreamer `playbin`.
//
// States: 0 empty (nothing loaded), 1 stopped, 2 paused, 3 running. Every
// operation returns 0 on success or a negative code: one of the wrong-state codes
// below when called in a state that does not allow it, or one of the back-end
// codes when GStreamer fails. A failing call leaves the state unchanged.
//
// Load waits (bounded) until the file has prerolled, so a file that cannot be
// played is refused there and never reaches state 1. Position and duration are
// only answered while running: a paused or stopped graph neither advances the
// time display nor reports its end.
//
// Levelled loudness: a file may come with a gain (dB, the track's distance
// from the station's reference loudness), applied by a `volume` element as
// playbin's audio filter while levelling is on (the default): the output is
// the decoded audio times 10^(gain / 20). Switching levelling applies to the
// file playing too, from the audio decoded next (what is already queued for the
// device, up to a second, plays as it was).
//
// The audio sink is autoaudiosink, as playbin would choose it. Where no audio
// output works it falls back to a clock-synchronised fake sink, so playback
// still takes real time and ends; only when autoaudiosink itself is missing does
// the graph pick `fakesink sync=true`.
//
// Making one starts nothing: GStreamer is started by the first Load, Prepare
// or LoadPlugins in the process, whichever thread makes it (the others wait for
// it), so a window can hold its graph before the media framework is up. It
// lives in the media module (MediaBackend), opened then too; without the
// module (logged once) nothing loads: Load answers kNoPlaybin.
//
// Not thread-safe: the owner makes every call on one thread (the window thread).
class MediaGraph {
public:
    enum MediaState : std::int32_t { kEmpty = 0, kStopped = 1, kPaused = 2, kRunning = 3 };

    // Calls in the wrong state.
    static constexpr std::int32_t kRunRefused = static_cast<std::int32_t>(0x80000000u);
    static constexpr std::int32_t kPauseRefused = static_cast<std::int32_t>(0x80000001u);
    // Position, duration and seeks while not running; also a forward seek at or
    // after the end and a backward seek at or before the start.
    static constexpr std::int32_t kNotRunning = static_cast<std::int32_t>(0x80000002u);
    static constexpr std::int32_t kStopRefused = static_cast<std::int32_t>(0x80000004u);

    // Back-end failures.
    static constexpr std::int32_t kNoPlaybin = static_cast<std::int32_t>(0x8A000001u);       // playbin missing
    static constexpr std::int32_t kBadPath = static_cast<std::int32_t>(0x8A000002u);         // path not usable as a URI
    static constexpr std::int32_t kFileNotFound = static_cast<std::int32_t>(0x8A000003u);    // no such file
    static constexpr std::int32_t kNotPlayable = static_cast<std::int32_t>(0x8A000004u);     // no decodable audio
    static constexpr std::int32_t kResourceFailure = static_cast<std::int32_t>(0x8A000005u); // read or output failure
    static constexpr std::int32_t kBackendFailure = static_cast<std::int32_t>(0x8A000006u);  // any other error
    static constexpr std::int32_t kPrerollTimeout = static_cast<std::int32_t>(0x8A000007u);  // not ready in time
    static constexpr std::int32_t kStateChangeFailed = static_cast<std::int32_t>(0x8A000008u);
    static constexpr std::int32_t kQueryFailed = static_cast<std::int32_t>(0x8A000009u);     // position/duration unknown yet
    static constexpr std::int32_t kSeekFailed = static_cast<std::int32_t>(0x8A00000Au);

    static constexpr double kSeekStepSeconds = 2.0;
    static constexpr std::chrono::milliseconds kDefaultPrerollLimit{5000};

    explicit MediaGraph(std::chrono::milliseconds prerollLimit = kDefaultPrerollLimit);
    ~MediaGraph();
    MediaGraph(const MediaGraph&) = delete;
    MediaGraph& operator=(const MediaGraph&) = delete;

    // Loads ahead of the first file the plugins its playback takes, so that
    // none is read from disk between a click and the music: playbin's own,
    // the type finders, the best demuxer, parser and decoder of the library's
    // format (MP3, with or without ID3 tags), the converters before the sink,
    // and the audio sinks that autoaudiosink tries (it looks for a device and
    // lets it go again: nothing is held open). Any thread, as it touches no
    // graph; harmless to repeat.
    static void LoadPlugins();

    // With nothing loaded: builds ahead the graph that the next Load takes,
    // its audio sink with the device found and opened, so that Load has only
    // the file to open (for a listener who pressed play and waits for the
    // download). Held until that Load or Release.
    void Prepare();
    // Releases the current file, then builds a graph for `path` (or takes the
    // prepared one) and waits for it to preroll. Success: path stored, state 1
    // (held ready at the start, so Run starts at once). Failure: a back-end
    // code, the half-built graph released, state 0, no path. gainDb: the
    // file's gain, none for a file without one.
    std::int32_t Load(const std::string& path, std::optional<double> gainDb = std::nullopt);
    // Drops the graph, and one prepared: state 0, no path, no device held.
    // Always succeeds.
    void Release();

    std::int32_t Run();    // from 1 or 2 → 3
    std::int32_t Pause();  // from 3 or 1 → 2
    std::int32_t Stop();   // from 3 or 2 → 1 (back to the start of the file)

    // True once when the end of the media has been reached since the last call;
    // only in state 3 (otherwise false). Never blocks. An error that ends
    // playback counts as the end (and is logged), so the listener is never left
    // with a file that neither plays nor finishes.
    bool IsComplete();

    // Seconds; only in state 3.
    std::int32_t GetPosition(double& seconds) const;
    std::int32_t GetDuration(double& seconds) const;

    // Two-second flushing seeks from the current position, only in state 3.
    // The target is not clamped: a forward seek past the end ends the media (the
    // completion test becomes true), and a backward seek to before the start
    // plays from the start, since GStreamer has no negative times.
    std::int32_t SeekForward();
    std::int32_t SeekBack();
    // A flushing seek to `seconds` from the start, only in state 3.
    std::int32_t SeekToSeconds(double seconds);

    // On (the default): each file plays at its gain. Off: every file as it is.
    void SetLevelling(bool on);
    bool Levelling() const { return levelling_; }
    // The factor the audio is multiplied by now: 10^(gain / 20) while
    // levelling a file with a gain, else 1.
    double Volume() const;

    MediaState State() const;
    const std::string& Path() const;
    // The position (seconds) that the last seek asked for, before any
    // translation for the back end; none until a seek was made.
    std::optional<double> LastSeekTarget() const;
    // The playbin, or null in state 0. For diagnostics and tests: changing its
    // state behind the graph's back breaks the state bookkeeping.
    GstElement* NativePipeline() const;
    // The playbin Prepare made for the next Load, or null.
    GstElement* PreparedPipeline() const;

private:
    // The backend, made on first need; null (and the module's failure
    // logged once) when the media module cannot be used.
    MediaBackend* Backend();

    std::chrono::milliseconds prerollLimit_;
    bool levelling_ = true;
    std::unique_ptr<MediaBackend> backend_;
};

}  // namespace vorn
