#include "station/catalogue/DemoLibrary.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "station/base/StationLog.h"
#include "station/catalogue/GStreamerStart.h"

namespace vorn::station {
namespace {

constexpr GstClockTime kEncodeTimeout = 120 * GST_SECOND;

std::string FolderName(const std::string& name) {
    std::string out;
    for (char c : name) {
        out += (c == '/' || c == '\\' || c == ':') ? '_' : c;
    }
    return out;
}

constexpr const char* kMp3Encoder = "lamemp3enc target=bitrate bitrate=96 cbr=true encoding-engine-quality=fast";

bool Encode(const DemoTrack& track, const std::string& path, const std::string& encoder, std::string& error) {
    GError* parseError = nullptr;
    GstElement* pipeline = gst_parse_launch(
        ("appsrc name=source format=time ! audioconvert ! " + encoder + " ! filesink name=sink").c_str(),
        &parseError);
    if (pipeline == nullptr || parseError != nullptr) {
        error = "cannot build the encoder " + encoder + " (is gstreamer1.0-plugins-good installed?): " +
                (parseError != nullptr ? parseError->message : "unknown error");
        if (parseError != nullptr) {
            g_error_free(parseError);
        }
        if (pipeline != nullptr) {
            gst_object_unref(pipeline);
        }
        return false;
    }
    GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "source");
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    g_object_set(sink, "location", path.c_str(), nullptr);
    GstCaps* caps = gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, "S16LE", "rate", G_TYPE_INT,
                                        track.sampleRate, "channels", G_TYPE_INT, 1, "layout", G_TYPE_STRING,
                                        "interleaved", nullptr);
    gst_app_src_set_caps(GST_APP_SRC(source), caps);
    gst_caps_unref(caps);

    bool ok = gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
    if (ok) {
        const gsize bytes = track.samples.size() * sizeof(std::int16_t);
        GstBuffer* buffer = gst_buffer_new_allocate(nullptr, bytes, nullptr);
        gst_buffer_fill(buffer, 0, track.samples.data(), bytes);
        GST_BUFFER_PTS(buffer) = 0;
        GST_BUFFER_DURATION(buffer) = gst_util_uint64_scale(track.samples.size(), GST_SECOND, track.sampleRate);
        ok = gst_app_src_push_buffer(GST_APP_SRC(source), buffer) == GST_FLOW_OK &&  // takes the buffer
             gst_app_src_end_of_stream(GST_APP_SRC(source)) == GST_FLOW_OK;
    }
    if (ok) {
        GstBus* bus = gst_element_get_bus(pipeline);
        GstMessage* message = gst_bus_timed_pop_filtered(
            bus, kEncodeTimeout, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        if (message == nullptr) {
            ok = false;
            error = "encoding " + path + " did not finish in time";
        } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            GError* failure = nullptr;
            gst_message_parse_error(message, &failure, nullptr);
            ok = false;
            error = "encoding " + path + " failed: " + (failure != nullptr ? failure->message : "unknown error");
            if (failure != nullptr) {
                g_error_free(failure);
            }
        }
        if (message != nullptr) {
            gst_message_unref(message);
        }
        gst_object_unref(bus);
    } else if (error.empty()) {
        error = "cannot start the encoder for " + path;
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(source);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    return ok;
}

bool Tag(const DemoTrack& track, const std::string& path, std::string& error) {
    TagLib::MPEG::File file(path.c_str());
    if (!file.isValid()) {
        error = "the encoded file " + path + " cannot be read back";
        return false;
    }
    TagLib::ID3v2::Tag* tag = file.ID3v2Tag(true);
    tag->setArtist(TagLib::String(track.artist, TagLib::String::UTF8));
    tag->setTitle(TagLib::String(track.title, TagLib::String::UTF8));
    tag->setAlbum(TagLib::String(track.album, TagLib::String::UTF8));
    tag->setGenre(TagLib::String(track.genre, TagLib::String::UTF8));
    tag->setYear(static_cast<unsigned>(track.year));
    tag->setTrack(static_cast<unsigned>(track.number));
    if (!file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers)) {
        error = "cannot write the tags of " + path;
        return false;
    }
    return true;
}

}  // namespace

bool WriteDemoTrack(const DemoTrack& track, const std::string& path, std::string& error) {
    if (!StartGStreamer(error)) {
        return false;
    }
    return Encode(track, path, kMp3Encoder, error) && Tag(track, path, error);
}

bool EncodeDemoTrack(const DemoTrack& track, const std::string& path, const std::string& encoder,
                     std::string& error) {
    return StartGStreamer(error) && Encode(track, path, encoder, error);
}

bool MakeDemoLibrary(const std::string& folder, int tracks, std::string& error, int seconds) {
    std::error_code code;
    std::filesystem::create_directories(folder, code);
    if (code) {
        error = "cannot create " + folder + ": " + code.message();
        return false;
    }
    if (!StartGStreamer(error)) {
        return false;
    }
    // Two workers: synthesis and encoding each keep one core busy.
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::mutex errorMutex;  // guards error
    const auto work = [&] {
        for (int index = next++; index < tracks && !failed; index = next++) {
            const DemoTrack track = SynthesiseDemoTrack(index, seconds);
            char number[8];
            std::snprintf(number, sizeof number, "%02d", track.number);
            const std::filesystem::path album =
                std::filesystem::path(folder) / FolderName(track.artist) / FolderName(track.album);
            std::string failure;
            std::error_code made;
            std::filesystem::create_directories(album, made);
            const std::string path = (album / (std::string(number) + " - " + track.title + ".mp3")).string();
            if (made) {
                failure = "cannot create " + album.string() + ": " + made.message();
            } else if (WriteDemoTrack(track, path, failure)) {
                STATION_LOG(LogLevel::Fine) << "DemoLibrary : wrote " << path;
                continue;
            }
            std::lock_guard lock(errorMutex);
            if (!failed.exchange(true)) {
                error = failure;
            }
        }
    };
    std::thread helper(work);
    work();
    helper.join();
    if (failed) {
        return false;
    }
    STATION_LOG(LogLevel::Info) << "DemoLibrary : " << tracks << " demo tracks in " << folder;
    return true;
}

}  // namespace vorn::station
