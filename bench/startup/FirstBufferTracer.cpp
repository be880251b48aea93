// A GStreamer tracer for the start-up benchmark: the moment the first buffer
// has been rendered by an audio sink of this process ("buffer NS"), and the
// moment its first element was made ("element NS", for gst-launch-1.0 the end
// of its start-up), as CLOCK_MONOTONIC nanoseconds, lines appended to the file
// that VORN_FIRST_BUFFER_FILE names.
//
// It is loaded into the program and into the floor (gst-launch-1.0) alike, by
// GST_PLUGIN_PATH (this plugin's folder) and GST_TRACERS=vornfirstbuffer, so
// both are timed at the same point: a sink's chain function returns only once
// it has waited for the buffer's time on the clock and rendered it (a fake
// sink's "render", an audio sink's write into its device's ring buffer).
#include <gst/base/gstbasesink.h>
#include <gst/gst.h>
#include <gst/gsttracer.h>

#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<bool> seen{false};
std::atomic<bool> made{false};

void Note(const char* what) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const char* file = std::getenv("VORN_FIRST_BUFFER_FILE");
    if (file == nullptr) return;
    if (FILE* out = std::fopen(file, "a")) {
        std::fprintf(out, "%s %lld\n", what, static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
        std::fclose(out);
    }
}

void OnElementNew(GObject* /*tracer*/, GstClockTime /*ts*/, GstElement* /*element*/) {
    if (!made.exchange(true)) Note("element");
}

void OnChainPost(GObject* /*tracer*/, GstClockTime /*ts*/, GstPad* pad, GstFlowReturn result) {
    if (result != GST_FLOW_OK || seen.load(std::memory_order_relaxed)) return;
    GstObject* parent = GST_OBJECT_PARENT(pad);
    if (parent == nullptr || !GST_IS_BASE_SINK(parent) || GST_IS_BIN(parent)) return;
    GstCaps* caps = gst_pad_get_current_caps(pad);
    bool audio = false;
    if (caps != nullptr) {
        const GstStructure* format = gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
        audio = format != nullptr && g_str_has_prefix(gst_structure_get_name(format), "audio/");
        gst_caps_unref(caps);
    }
    if (!audio || seen.exchange(true)) return;
    Note("buffer");
}

struct FirstBufferTracer {
    GstTracer parent;
};

struct FirstBufferTracerClass {
    GstTracerClass parentClass;
};

GType FirstBufferTracerType();

void FirstBufferTracerInit(GTypeInstance* instance, gpointer /*klass*/) {
    auto* tracer = reinterpret_cast<GstTracer*>(instance);
    gst_tracing_register_hook(tracer, "pad-chain-post", G_CALLBACK(OnChainPost));
    gst_tracing_register_hook(tracer, "element-new", G_CALLBACK(OnElementNew));
}

GType FirstBufferTracerType() {
    static GType type = 0;
    if (type == 0) {
        type = g_type_register_static_simple(GST_TYPE_TRACER, "VornFirstBufferTracer", sizeof(FirstBufferTracerClass),
                                             nullptr, sizeof(FirstBufferTracer), FirstBufferTracerInit,
                                             static_cast<GTypeFlags>(0));
    }
    return type;
}

gboolean PluginInit(GstPlugin* plugin) {
    return gst_tracer_register(plugin, "vornfirstbuffer", FirstBufferTracerType());
}

}  // namespace

#define PACKAGE "vorn-bench"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, vornfirstbuffer,
                  "Times the first buffer an audio sink renders", PluginInit, "1.0", "LGPL", "vorn-bench",
                  "https://localhost/")
