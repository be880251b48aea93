#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

typedef struct _GstElement GstElement;

namespace vorn {

// What MediaGraph does with GStreamer, behind an interface: its one
// implementation (GstMediaBackend) lives in the module kMediaModule, which the
// program opens when the media framework is first wanted (LoadPlugins, a
// Prepare or a Load), so a start links no GStreamer. Each call means what
// MediaGraph's call of the same name means; nothing thrown escapes it.
class MediaBackend {
public:
    virtual ~MediaBackend() = default;

    virtual void Prepare() = 0;
    virtual std::int32_t Load(const std::string& path, std::optional<double> gainDb) = 0;
    virtual void Release() = 0;
    virtual std::int32_t Run() = 0;
    virtual std::int32_t Pause() = 0;
    virtual std::int32_t Stop() = 0;
    virtual bool IsComplete() = 0;
    virtual std::int32_t GetPosition(double& seconds) const = 0;
    virtual std::int32_t GetDuration(double& seconds) const = 0;
    virtual std::int32_t SeekForward() = 0;
    virtual std::int32_t SeekBack() = 0;
    virtual std::int32_t SeekToSeconds(double seconds) = 0;
    virtual void SetLevelling(bool on) = 0;
    virtual double Volume() const = 0;
    virtual std::int32_t State() const = 0;
    virtual const std::string& Path() const = 0;
    virtual std::optional<double> LastSeekTarget() const = 0;
    virtual GstElement* NativePipeline() const = 0;
    virtual GstElement* PreparedPipeline() const = 0;
};

// Where the module's log lines go: the program's log, at `level` (LogLevel's value).
using MediaLogSink = void (*)(std::int32_t level, const char* text) noexcept;

// The module and its entries. The maker returns a backend whose Load waits at
// most `prerollMs` for a file to be ready, levelling on, or null when it
// cannot be made; the loader loads the playback plugins ahead (MediaGraph::LoadPlugins).
// Both start GStreamer first if it is not started.
inline constexpr char kMediaModule[] = "libvorn-media.so";
inline constexpr char kMediaBackendEntry[] = "vorn_make_media_backend";
inline constexpr char kMediaPluginsEntry[] = "vorn_load_media_plugins";
using MediaBackendMaker = MediaBackend* (*)(std::int64_t prerollMs, MediaLogSink log) noexcept;
using MediaPluginsLoader = void (*)(MediaLogSink log) noexcept;

}  // namespace vorn
