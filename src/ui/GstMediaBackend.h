#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "ui/MediaBackend.h"
#include "ui/MediaGraph.h"

namespace vorn {

// MediaGraph's playback on GStreamer: a `playbin` for audio alone, with a
// `volume` filter for levelled loudness. Built into the media module alone
// (see MediaBackend); its log lines go to the sink it was given.
class GstMediaBackend final : public MediaBackend {
public:
    GstMediaBackend(std::chrono::milliseconds prerollLimit, MediaLogSink log);
    ~GstMediaBackend() override;
    GstMediaBackend(const GstMediaBackend&) = delete;
    GstMediaBackend& operator=(const GstMediaBackend&) = delete;

    static void LoadPlugins();

    void Prepare() override;
    std::int32_t Load(const std::string& path, std::optional<double> gainDb) override;
    void Release() override;
    std::int32_t Run() override;
    std::int32_t Pause() override;
    std::int32_t Stop() override;
    bool IsComplete() override;
    std::int32_t GetPosition(double& seconds) const override;
    std::int32_t GetDuration(double& seconds) const override;
    std::int32_t SeekForward() override;
    std::int32_t SeekBack() override;
    std::int32_t SeekToSeconds(double seconds) override;
    void SetLevelling(bool on) override;
    double Volume() const override;
    std::int32_t State() const override { return state_; }
    const std::string& Path() const override { return path_; }
    std::optional<double> LastSeekTarget() const override { return lastSeekTarget_; }
    GstElement* NativePipeline() const override { return pipeline_; }
    GstElement* PreparedPipeline() const override { return spare_; }

private:
    // A playbin for audio alone, its sink's device found (see Prepare); null
    // when playbin is not installed.
    static GstElement* MakePlaybin();
    std::int32_t WaitForPreroll(const std::string& path);
    std::int32_t SeekTo(double seconds);
    std::int32_t Query(bool position, double& seconds) const;
    void DrainBus(int messageTypes);  // drops pending bus messages of these GstMessageType bits
    void ApplyVolume();

    std::chrono::milliseconds prerollLimit_;
    MediaLogSink log_;
    GstElement* pipeline_ = nullptr;  // owned reference
    GstElement* spare_ = nullptr;     // owned reference: prepared for the next Load
    GstElement* volume_ = nullptr;    // owned reference: the playbin's audio filter, while there is a playbin
    std::optional<double> gainDb_;    // the file's
    bool levelling_ = true;
    std::string path_;
    MediaGraph::MediaState state_ = MediaGraph::kEmpty;
    std::optional<double> lastSeekTarget_;
    // The duration as last answered. Asking the pipeline walks all its
    // elements, so it is asked again only when the stream says the duration
    // changed (a parser's estimate improving) or the bus was drained unread.
    mutable std::optional<double> duration_;
};

}  // namespace vorn
