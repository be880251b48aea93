#pragma once

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace vorn::station {

// A GStreamer pipeline for the station's background work (pictures, loudness),
// run to its end on the calling thread. Its streaming threads are threads of
// their own at the lowest priority (nice 19), ended with the pipeline: the
// requests' threads always come first, and no thread of GStreamer's shared
// pool is left at that priority for other pipelines.
class LowPriorityPipeline {
public:
    LowPriorityPipeline() = default;
    ~LowPriorityPipeline();
    LowPriorityPipeline(const LowPriorityPipeline&) = delete;
    LowPriorityPipeline& operator=(const LowPriorityPipeline&) = delete;

    // Starts GStreamer when needed and builds the pipeline from a gst-launch
    // description; false with `error` set when an element is missing.
    bool Build(const std::string& description, std::string& error);
    // The element of that name, owned by the pipeline; null when there is none.
    GstElement* Element(const char* name) const;

    // Plays until the end of the stream. False with `error` set on an error
    // of the pipeline, when `stop` is set, or when `progress` (raised by the
    // pipeline's own callbacks for every piece of work) stands still for
    // `stall`: a pipeline never hangs its caller.
    bool Play(const std::atomic<bool>& stop, const std::atomic<std::uint64_t>& progress,
              std::chrono::milliseconds stall, std::string& error);

    // The nice value of the threads that do background work.
    static constexpr int kNice = 19;
    // Gives the calling thread that nice value.
    static void LowerThisThread();

private:
    GstElement* pipeline_ = nullptr;
};

}  // namespace vorn::station
