#include "station/media/LowPriorityPipeline.h"

#include <sys/resource.h>
#include <unistd.h>

#include <memory>

namespace vorn::station {
namespace {

// A task pool that starts a new thread for every task and joins it when the
// task ends. GStreamer's default pool hands its threads on to any pipeline
// afterwards, with whatever priority they were given; these end with their task.
struct OwnThreadPool {
    GstTaskPool parent;
};
struct OwnThreadPoolClass {
    GstTaskPoolClass parentClass;
};

GType OwnThreadPoolType();

struct TaskStart {
    GstTaskPoolFunction function;
    gpointer data;
};

gpointer RunTask(gpointer data) {
    const std::unique_ptr<TaskStart> start(static_cast<TaskStart*>(data));
    LowPriorityPipeline::LowerThisThread();
    start->function(start->data);
    return nullptr;
}

void PreparePool(GstTaskPool*, GError**) {}
void CleanupPool(GstTaskPool*) {}

gpointer PushTask(GstTaskPool*, GstTaskPoolFunction function, gpointer data, GError** error) {
    auto* start = new TaskStart{function, data};
    GThread* thread = g_thread_try_new("vorn-media", RunTask, start, error);
    if (thread == nullptr) {
        delete start;
    }
    return thread;
}

void JoinTask(GstTaskPool*, gpointer id) {
    if (id != nullptr) {
        g_thread_join(static_cast<GThread*>(id));
    }
}

void InitPoolClass(gpointer klass, gpointer) {
    GstTaskPoolClass* pool = GST_TASK_POOL_CLASS(klass);
    pool->prepare = PreparePool;
    pool->cleanup = CleanupPool;
    pool->push = PushTask;
    pool->join = JoinTask;
}

GType OwnThreadPoolType() {
    static const GType type = g_type_register_static_simple(
        GST_TYPE_TASK_POOL, "VornOwnThreadPool", sizeof(OwnThreadPoolClass), InitPoolClass, sizeof(OwnThreadPool),
        nullptr, static_cast<GTypeFlags>(0));
    return type;
}

// One pool for the whole process; never freed.
GstTaskPool* Pool() {
    static GstTaskPool* const pool = GST_TASK_POOL(g_object_new(OwnThreadPoolType(), nullptr));
    return pool;
}

// Every streaming thread the pipeline asks for comes from Pool(). Runs on the
// thread that starts the task, before the task runs.
GstBusSyncReply OnSyncMessage(GstBus*, GstMessage* message, gpointer) {
    if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_STREAM_STATUS) {
        return GST_BUS_PASS;
    }
    GstStreamStatusType type = GST_STREAM_STATUS_TYPE_CREATE;
    GstElement* owner = nullptr;
    gst_message_parse_stream_status(message, &type, &owner);
    const GValue* value = gst_message_get_stream_status_object(message);
    if (type == GST_STREAM_STATUS_TYPE_CREATE && value != nullptr && G_VALUE_HOLDS(value, GST_TYPE_TASK)) {
        gst_task_set_pool(GST_TASK(g_value_get_object(value)), Pool());
    }
    gst_message_unref(message);
    return GST_BUS_DROP;
}

// The error's message, with the reason the stream stopped when GStreamer
// gives one ("not-linked": nothing in the file that the pipeline can use).
std::string ErrorText(GstMessage* message) {
    GError* failure = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &failure, &debug);
    std::string text = failure != nullptr ? failure->message : "unknown error";
    const std::string details = debug != nullptr ? debug : "";
    if (const std::size_t reason = details.find("reason "); reason != std::string::npos) {
        text += " (" + details.substr(reason + 7, details.find_first_of(" \n", reason + 7) - reason - 7) + ")";
    }
    if (failure != nullptr) {
        g_error_free(failure);
    }
    g_free(debug);
    return text;
}

}  // namespace

void LowPriorityPipeline::LowerThisThread() {
    // Linux keeps a nice value per thread.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kNice);
}

LowPriorityPipeline::~LowPriorityPipeline() {
    if (pipeline_ != nullptr) {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
    }
}

bool LowPriorityPipeline::Build(const std::string& description, std::string& error) {
    GError* failure = nullptr;
    if (!gst_init_check(nullptr, nullptr, &failure)) {
        error = std::string("GStreamer cannot start: ") + (failure != nullptr ? failure->message : "");
        if (failure != nullptr) {
            g_error_free(failure);
        }
        return false;
    }
    GstElement* built = gst_parse_launch(description.c_str(), &failure);
    if (built == nullptr || failure != nullptr) {
        error = std::string("cannot build \"") + description + "\": " +
                (failure != nullptr ? failure->message : "unknown error");
        if (failure != nullptr) {
            g_error_free(failure);
        }
        if (built != nullptr) {
            gst_object_unref(built);
        }
        return false;
    }
    pipeline_ = built;
    GstBus* bus = gst_element_get_bus(pipeline_);
    gst_bus_set_sync_handler(bus, OnSyncMessage, nullptr, nullptr);
    gst_object_unref(bus);
    return true;
}

GstElement* LowPriorityPipeline::Element(const char* name) const {
    if (pipeline_ == nullptr) {
        return nullptr;
    }
    GstElement* element = gst_bin_get_by_name(GST_BIN(pipeline_), name);
    if (element != nullptr) {
        gst_object_unref(element);  // the pipeline keeps its own reference
    }
    return element;
}

bool LowPriorityPipeline::Play(const std::atomic<bool>& stop, const std::atomic<std::uint64_t>& progress,
                               std::chrono::milliseconds stall, std::string& error) {
    error.clear();  // the outcome is this run's alone, whatever the caller held
    if (pipeline_ == nullptr) {
        error = "no pipeline";
        return false;
    }
    if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        error = "the pipeline cannot start";
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        return false;
    }
    GstBus* bus = gst_element_get_bus(pipeline_);
    std::uint64_t seen = progress.load();
    auto lastChange = std::chrono::steady_clock::now();
    bool ended = false;
    while (!ended) {
        // Asked to stop before the end is seen: a short file may reach its end
        // within one wait, and a stop must still win.
        if (stop.load()) {
            error = "stopped";
            break;
        }
        GstMessage* message = gst_bus_timed_pop_filtered(
            bus, 100 * GST_MSECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        if (message != nullptr) {
            ended = true;
            if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
                error = ErrorText(message);
            }
            gst_message_unref(message);
            continue;
        }
        if (const std::uint64_t now = progress.load(); now != seen) {
            seen = now;
            lastChange = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - lastChange > stall) {
            error = "no progress for " + std::to_string(stall.count() / 1000) + " s";
            ended = true;
        }
    }
    gst_object_unref(bus);
    gst_element_set_state(pipeline_, GST_STATE_NULL);  // joins the streaming threads
    return error.empty();
}

}  // namespace vorn::station
