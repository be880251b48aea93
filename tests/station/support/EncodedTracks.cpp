#include "tests/station/support/EncodedTracks.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>

#include <cmath>
#include <random>

namespace vorn::station::test {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Runs a pipeline to its end: the samples into "source" when given, the
// output of "sink" into `out` when it has one.
bool RunPipeline(const std::string& description, const std::vector<float>* samples, int channels,
                 std::string* out, std::string& error) {
    if (!gst_init_check(nullptr, nullptr, nullptr)) {
        error = "GStreamer does not start";
        return false;
    }
    GError* failure = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &failure);
    if (pipeline == nullptr || failure != nullptr) {
        error = failure != nullptr ? failure->message : "cannot build " + description;
        if (failure != nullptr) g_error_free(failure);
        if (pipeline != nullptr) gst_object_unref(pipeline);
        return false;
    }
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    if (out != nullptr && sink != nullptr) {
        g_object_set(sink, "emit-signals", FALSE, "sync", FALSE, "max-buffers", 0, nullptr);
    }
    GstElement* source = samples != nullptr ? gst_bin_get_by_name(GST_BIN(pipeline), "source") : nullptr;
    if (source != nullptr) {
        GstCaps* caps = gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, "F32LE", "rate", G_TYPE_INT,
                                            Samples::kRate, "channels", G_TYPE_INT, channels, "layout",
                                            G_TYPE_STRING, "interleaved", nullptr);
        gst_app_src_set_caps(GST_APP_SRC(source), caps);
        gst_caps_unref(caps);
        g_object_set(source, "format", GST_FORMAT_TIME, nullptr);
    }
    bool ok = gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
    if (ok && source != nullptr) {
        const gsize bytes = samples->size() * sizeof(float);
        GstBuffer* buffer = gst_buffer_new_memdup(samples->data(), bytes);
        GST_BUFFER_PTS(buffer) = 0;
        GST_BUFFER_DURATION(buffer) =
            gst_util_uint64_scale(samples->size() / static_cast<std::size_t>(channels), GST_SECOND, Samples::kRate);
        ok = gst_app_src_push_buffer(GST_APP_SRC(source), buffer) == GST_FLOW_OK &&
             gst_app_src_end_of_stream(GST_APP_SRC(source)) == GST_FLOW_OK;
    }
    if (source != nullptr) {
        gst_object_unref(source);
    }
    if (ok && out != nullptr && sink != nullptr) {
        while (GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 60 * GST_SECOND)) {
            GstMapInfo map{};
            GstBuffer* buffer = gst_sample_get_buffer(sample);
            if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
                out->append(reinterpret_cast<const char*>(map.data), map.size);
                gst_buffer_unmap(buffer, &map);
            }
            gst_sample_unref(sample);
        }
    }
    if (ok) {
        GstBus* bus = gst_element_get_bus(pipeline);
        GstMessage* message = gst_bus_timed_pop_filtered(bus, 60 * GST_SECOND,
                                                         static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        ok = message != nullptr && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
        if (!ok) {
            error = message == nullptr ? "timed out" : "failed: " + description;
        }
        if (message != nullptr) gst_message_unref(message);
        gst_object_unref(bus);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    if (sink != nullptr) gst_object_unref(sink);
    gst_object_unref(pipeline);
    return ok;
}

TagLib::String Utf8(const std::string& text) { return TagLib::String(text, TagLib::String::UTF8); }

}  // namespace

Samples MusicLike(double seconds, double amplitude, unsigned seed) {
    Samples samples;
    std::mt19937 random(seed);
    std::normal_distribution<float> noise(0.0f, static_cast<float>(amplitude * 0.02));
    const double notes[] = {220.0 * (1 + seed % 3), 277.18, 329.63};
    const auto frames = static_cast<std::size_t>(seconds * Samples::kRate);
    samples.data.reserve(frames * 2);
    for (std::size_t n = 0; n < frames; ++n) {
        const double t = static_cast<double>(n) / Samples::kRate;
        double left = 0;
        double right = 0;
        for (int k = 0; k < 3; ++k) {
            const double swell = 0.75 + 0.25 * std::sin(2 * kPi * (0.5 + 0.2 * k) * t);
            const double tone = swell * std::sin(2 * kPi * notes[k] * t) / 3;
            left += tone * (k == 2 ? 0.6 : 1.0);
            right += tone * (k == 0 ? 0.6 : 1.0);
        }
        samples.data.push_back(static_cast<float>(amplitude * left) + noise(random));
        samples.data.push_back(static_cast<float>(amplitude * right) + noise(random));
    }
    return samples;
}

Samples QuietWithClicks(double seconds, double quiet, double click) {
    Samples samples = Sine(seconds, quiet);
    const std::size_t frames = samples.data.size() / 2;
    const std::size_t length = Samples::kRate / 500;  // 2 ms: two cycles of 1 kHz
    for (std::size_t start = Samples::kRate / 2; start + length < frames; start += Samples::kRate) {
        for (std::size_t n = start; n < start + length; ++n) {
            const auto value =
                static_cast<float>(click * std::sin(2 * kPi * 1000.0 * static_cast<double>(n - start) / Samples::kRate));
            samples.data[2 * n] = value;
            samples.data[2 * n + 1] = value;
        }
    }
    return samples;
}

Samples Sine(double seconds, double amplitude) {
    Samples samples;
    const auto frames = static_cast<std::size_t>(seconds * Samples::kRate);
    for (std::size_t n = 0; n < frames; ++n) {
        const auto value = static_cast<float>(amplitude * std::sin(2 * kPi * 1000.0 * static_cast<double>(n) / Samples::kRate));
        samples.data.push_back(value);
        samples.data.push_back(value);
    }
    return samples;
}

Samples Louder(const Samples& samples, double db) {
    Samples out = samples;
    const auto factor = static_cast<float>(std::pow(10.0, db / 20));
    for (float& value : out.data) {
        value *= factor;
    }
    return out;
}

bool EncodeTrack(const std::string& path, TrackFormat format, const Samples& samples, std::string& error, bool mono) {
    const char* encoder = format == TrackFormat::Mp3    ? "lamemp3enc target=quality quality=2"
                          : format == TrackFormat::Flac ? "flacenc"
                                                        : "vorbisenc quality=0.6 ! oggmux";
    std::vector<float> data;
    if (mono) {
        for (std::size_t n = 0; n < samples.data.size(); n += 2) {
            data.push_back(samples.data[n]);
        }
    }
    return RunPipeline("appsrc name=source ! audioconvert ! " + std::string(encoder) + " ! filesink location=\"" +
                           path + "\"",
                       mono ? &data : &samples.data, mono ? 1 : 2, nullptr, error);
}

std::string MakePicture(int width, int height, unsigned colour, const char* encoder) {
    std::string picture;
    std::string error;
    if (!RunPipeline("videotestsrc num-buffers=1 pattern=solid-color foreground-color=" +
                         std::to_string(0xff000000u | colour) + " ! video/x-raw,width=" + std::to_string(width) +
                         ",height=" + std::to_string(height) + " ! videoconvert ! " + encoder + " ! appsink name=sink",
                     nullptr, 0, &picture, error)) {
        return {};
    }
    return picture;
}

bool JpegSize(const std::string& jpeg, int& width, int& height) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(jpeg[at]); };
    if (jpeg.size() < 4 || byte(0) != 0xff || byte(1) != 0xd8) {
        return false;
    }
    for (std::size_t at = 2; at + 9 < jpeg.size();) {
        if (byte(at) != 0xff) {
            return false;
        }
        const unsigned marker = byte(at + 1);
        const std::size_t length = byte(at + 2) << 8 | byte(at + 3);
        if (marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc) {
            height = byte(at + 5) << 8 | byte(at + 6);
            width = byte(at + 7) << 8 | byte(at + 8);
            return true;
        }
        at += 2 + length;
    }
    return false;
}

bool TagTrack(const std::string& path, const std::string& artist, const std::string& title,
              const std::string& album) {
    TagLib::FileRef file(path.c_str());
    if (file.isNull() || file.tag() == nullptr) {
        return false;
    }
    file.tag()->setArtist(Utf8(artist));
    file.tag()->setTitle(Utf8(title));
    file.tag()->setAlbum(Utf8(album));
    return file.save();
}

bool EmbedPicture(const std::string& path, const std::string& picture, const std::string& mime, bool front) {
    const TagLib::ByteVector bytes(picture.data(), static_cast<unsigned>(picture.size()));
    TagLib::FileRef ref(path.c_str());
    if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(ref.file())) {
        auto* frame = new TagLib::ID3v2::AttachedPictureFrame;
        frame->setMimeType(Utf8(mime));
        frame->setType(front ? TagLib::ID3v2::AttachedPictureFrame::FrontCover
                             : TagLib::ID3v2::AttachedPictureFrame::BackCover);
        frame->setPicture(bytes);
        mpeg->ID3v2Tag(true)->addFrame(frame);
        return mpeg->save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone);
    }
    auto* flacPicture = new TagLib::FLAC::Picture;
    flacPicture->setMimeType(Utf8(mime));
    flacPicture->setType(front ? TagLib::FLAC::Picture::FrontCover : TagLib::FLAC::Picture::BackCover);
    flacPicture->setData(bytes);
    if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(ref.file())) {
        flac->addPicture(flacPicture);
        return flac->save();
    }
    if (auto* vorbis = dynamic_cast<TagLib::Ogg::Vorbis::File*>(ref.file())) {
        vorbis->tag()->addPicture(flacPicture);
        return vorbis->save();
    }
    delete flacPicture;
    return false;
}

bool TagReplayGain(const std::string& path, const std::string& gain, const std::string& peak) {
    TagLib::FileRef ref(path.c_str());
    if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(ref.file())) {
        for (const auto& [name, value] : {std::pair{"REPLAYGAIN_TRACK_GAIN", gain}, {"REPLAYGAIN_TRACK_PEAK", peak}}) {
            auto* frame = new TagLib::ID3v2::UserTextIdentificationFrame(TagLib::String::UTF8);
            frame->setDescription(name);
            frame->setText(Utf8(value));
            mpeg->ID3v2Tag(true)->addFrame(frame);
        }
        return mpeg->save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone);
    }
    TagLib::Ogg::XiphComment* comment = nullptr;
    if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(ref.file())) {
        comment = flac->xiphComment(true);
    } else if (auto* vorbis = dynamic_cast<TagLib::Ogg::Vorbis::File*>(ref.file())) {
        comment = vorbis->tag();
    }
    if (comment == nullptr) {
        return false;
    }
    comment->addField("REPLAYGAIN_TRACK_GAIN", Utf8(gain));
    comment->addField("REPLAYGAIN_TRACK_PEAK", Utf8(peak));
    return ref.save();
}

}  // namespace vorn::station::test
