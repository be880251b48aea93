#include "tests/station/support/EncodedAudio.h"

#include <gst/gst.h>
#include <taglib/fileref.h>
#include <taglib/tag.h>

namespace vorn::station::test {
namespace {

constexpr int kSamplesPerBuffer = 1024;

std::uint32_t BigEndian32(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) << 24 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3]));
}

// The layer III bit rates in kbit/s by index, MPEG-1 and MPEG-2/2.5.
constexpr int kBitrates[2][16] = {{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
                                  {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}};
constexpr int kRates[3] = {44100, 48000, 32000};

}  // namespace

bool WriteEncodedAudio(const std::string& path, const std::string& encoder, std::uint64_t samples, int rate,
                       int channels, const std::string& wave) {
    gst_init(nullptr, nullptr);
    // Whole buffers of kSamplesPerBuffer; the last buffer is cut to the exact count.
    const std::uint64_t buffers = (samples + kSamplesPerBuffer - 1) / kSamplesPerBuffer;
    const std::string description =
        "audiotestsrc wave=" + wave + " num-buffers=" + std::to_string(buffers) +
        " samplesperbuffer=" + std::to_string(kSamplesPerBuffer) + " ! audio/x-raw,format=S16LE,rate=" +
        std::to_string(rate) + ",channels=" + std::to_string(channels) +
        " ! identity name=cut ! audioconvert ! " + encoder + " ! filesink name=out";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (pipeline == nullptr || error != nullptr) {
        if (error != nullptr) g_error_free(error);
        if (pipeline != nullptr) gst_object_unref(pipeline);
        return false;
    }
    GstElement* out = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    g_object_set(out, "location", path.c_str(), nullptr);
    gst_object_unref(out);
    // The last buffer keeps only the samples wanted.
    struct Cut {
        std::uint64_t left;
        int frameBytes;
    };
    Cut cut{samples, 2 * channels};
    GstElement* identity = gst_bin_get_by_name(GST_BIN(pipeline), "cut");
    GstPad* pad = gst_element_get_static_pad(identity, "src");
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            Cut& state = *static_cast<Cut*>(data);
            GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
            const std::uint64_t have = gst_buffer_get_size(buffer) / static_cast<std::uint64_t>(state.frameBytes);
            if (state.left == 0) {
                return GST_PAD_PROBE_DROP;
            }
            if (have > state.left) {
                buffer = gst_buffer_make_writable(buffer);
                gst_buffer_resize(buffer, 0, static_cast<gssize>(state.left * state.frameBytes));
                GST_PAD_PROBE_INFO_DATA(info) = buffer;
                state.left = 0;
            } else {
                state.left -= have;
            }
            return GST_PAD_PROBE_OK;
        },
        &cut, nullptr);
    gst_object_unref(pad);
    gst_object_unref(identity);

    bool ok = false;
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE) {
        GstBus* bus = gst_element_get_bus(pipeline);
        GstMessage* message = gst_bus_timed_pop_filtered(
            bus, 120 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        ok = message != nullptr && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
        if (message != nullptr) gst_message_unref(message);
        gst_object_unref(bus);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return ok;
}

bool TagAudio(const std::string& path, const std::string& artist, const std::string& title, const std::string& album,
              const std::string& genre) {
    TagLib::FileRef file(path.c_str());
    if (file.isNull() || file.tag() == nullptr) {
        return false;
    }
    file.tag()->setArtist(TagLib::String(artist, TagLib::String::UTF8));
    file.tag()->setTitle(TagLib::String(title, TagLib::String::UTF8));
    file.tag()->setAlbum(TagLib::String(album, TagLib::String::UTF8));
    file.tag()->setGenre(TagLib::String(genre, TagLib::String::UTF8));
    return file.save();
}

Mp3Facts ReadMp3Facts(const std::string& bytes) {
    Mp3Facts facts;
    std::size_t at = 0;
    if (bytes.size() >= 10 && bytes.compare(0, 3, "ID3") == 0) {
        std::size_t size = 0;
        for (int k = 6; k < 10; ++k) {
            size = size << 7 | (static_cast<unsigned char>(bytes[k]) & 0x7f);
        }
        at = facts.tagBytes = 10 + size + ((static_cast<unsigned char>(bytes[5]) & 0x10) != 0 ? 10 : 0);
    }
    bool first = true;
    while (at < bytes.size()) {
        if (bytes.size() - at == 128 && bytes.compare(at, 3, "TAG") == 0) {
            break;  // an ID3v1 tag ends the file
        }
        if (bytes.size() - at < 4) {
            facts.problem = "a partial frame header at byte " + std::to_string(at);
            return facts;
        }
        const std::uint32_t header = BigEndian32(bytes, at);
        const int version = static_cast<int>(header >> 19 & 3);  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
        const int layer = static_cast<int>(header >> 17 & 3);    // 1 layer III
        const int bitrateIndex = static_cast<int>(header >> 12 & 15);
        const int rateIndex = static_cast<int>(header >> 10 & 3);
        if ((header & 0xffe00000) != 0xffe00000 || version == 1 || layer != 1 || bitrateIndex == 0 ||
            bitrateIndex == 15 || rateIndex == 3) {
            facts.problem = "no layer III frame at byte " + std::to_string(at);
            return facts;
        }
        const bool mpeg1 = version == 3;
        const int rate = kRates[rateIndex] / (mpeg1 ? 1 : version == 2 ? 2 : 4);
        const int samples = mpeg1 ? 1152 : 576;
        if (facts.sampleRate != 0 && (rate != facts.sampleRate || samples != facts.samplesPerFrame)) {
            facts.problem = "the sample rate changes at byte " + std::to_string(at);
            return facts;
        }
        facts.sampleRate = rate;
        facts.samplesPerFrame = samples;
        const std::size_t length = static_cast<std::size_t>(samples / 8 * kBitrates[mpeg1 ? 0 : 1][bitrateIndex] *
                                                            1000 / rate) + (header >> 9 & 1);
        if (at + length > bytes.size()) {
            facts.problem = "the last frame is cut at byte " + std::to_string(bytes.size());
            return facts;
        }
        const bool mono = (header >> 6 & 3) == 3;
        const std::size_t sideInfo = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
        const std::size_t mark = at + 4 + sideInfo;
        if (first && mark + 16 <= at + length &&
            (bytes.compare(mark, 4, "Xing") == 0 || bytes.compare(mark, 4, "Info") == 0)) {
            facts.xing = true;
            const std::uint32_t flags = BigEndian32(bytes, mark + 4);
            std::size_t field = mark + 8;
            if ((flags & 1) != 0) {
                facts.xingFrames = BigEndian32(bytes, field);
                field += 4;
            }
            if ((flags & 2) != 0) {
                facts.xingBytes = BigEndian32(bytes, field);
            }
        } else {
            ++facts.frames;
        }
        first = false;
        at += length;
    }
    if (facts.frames == 0) {
        facts.problem = "no audio frames";
    }
    return facts;
}

}  // namespace vorn::station::test
