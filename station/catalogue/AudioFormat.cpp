#include "station/catalogue/AudioFormat.h"

#include <algorithm>
#include <cstring>

#include "platform/AsciiCase.h"

namespace vorn::station {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix, std::size_t at = 0) {
    return text.size() >= at + prefix.size() && text.compare(at, prefix.size(), prefix) == 0;
}

unsigned Byte(std::string_view text, std::size_t at) { return static_cast<unsigned char>(text[at]); }

// The length in bytes of the MPEG audio frame whose header starts at `at`,
// or 0 when no valid header of layer I, II or III is there. ADTS (AAC) is
// told apart by its layer bits, 0.
std::size_t MpegFrameLength(std::string_view head, std::size_t at) {
    if (at + 4 > head.size() || Byte(head, at) != 0xFF || (Byte(head, at + 1) & 0xE0) != 0xE0) {
        return 0;
    }
    const unsigned version = (Byte(head, at + 1) >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
    const unsigned layer = (Byte(head, at + 1) >> 1) & 3;    // 1: III, 2: II, 3: I
    const unsigned bitrateIndex = Byte(head, at + 2) >> 4;
    const unsigned rateIndex = (Byte(head, at + 2) >> 2) & 3;
    const unsigned padding = (Byte(head, at + 2) >> 1) & 1;
    if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) {
        return 0;
    }
    static constexpr int kBitrates[2][3][15] = {
        // MPEG-1: layer I, II, III
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        // MPEG-2 and 2.5
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    static constexpr int kRates[3] = {44100, 48000, 32000};
    const bool mpeg1 = version == 3;
    const int rate = kRates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    const int kbps = kBitrates[mpeg1 ? 0 : 1][3 - layer][bitrateIndex];
    if (layer == 3) {  // layer I: slots of four bytes
        return static_cast<std::size_t>((12 * kbps * 1000 / rate + static_cast<int>(padding)) * 4);
    }
    const int samples = layer == 1 && !mpeg1 ? 576 : 1152;
    return static_cast<std::size_t>(samples / 8 * kbps * 1000 / rate + static_cast<int>(padding));
}

std::size_t AdtsFrameLength(std::string_view head, std::size_t at) {
    if (at + 7 > head.size() || Byte(head, at) != 0xFF || (Byte(head, at + 1) & 0xF6) != 0xF0 ||
        ((Byte(head, at + 2) >> 2) & 0xF) > 12) {
        return 0;
    }
    return ((Byte(head, at + 3) & 3) << 11) | (Byte(head, at + 4) << 3) | (Byte(head, at + 5) >> 5);
}

// Three frames one after another: a chance run of sync bits in other data
// rarely lines up three times.
bool FramesAt(std::string_view head, std::size_t at, std::size_t (*length)(std::string_view, std::size_t)) {
    for (int frame = 0; frame < 3; ++frame) {
        const std::size_t size = length(head, at);
        if (size < 7) {
            return false;
        }
        at += size;
        if (at + 4 > head.size()) {
            return frame > 0;  // the file (or what was read of it) ends after whole frames
        }
    }
    return true;
}

// The format of an Ogg stream from the first packet of its first page.
std::string OggFormat(std::string_view head) {
    if (head.size() < 27) {
        return {};
    }
    const std::size_t packet = 27 + Byte(head, 26);
    const std::string_view first = head.substr(std::min(packet, head.size()));
    if (StartsWith(first, "\x01vorbis")) return "ogg";
    if (StartsWith(first, "OpusHead")) return "opus";
    if (StartsWith(first, "\x7f" "FLAC")) return "oga";
    if (StartsWith(first, "Speex   ")) return "spx";
    return {};
}

}  // namespace

bool HasAudioName(std::string_view path) {
    static constexpr std::string_view kExtensions[] = {
        ".mp3", ".mp2", ".mpga", ".flac", ".ogg", ".oga", ".opus", ".spx", ".wav", ".wave", ".aif", ".aiff",
        ".aifc", ".m4a", ".m4b", ".aac", ".wv", ".ape", ".wma", ".mpc", ".tta", ".dsf"};
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || path.find('/', dot) != std::string_view::npos) {
        return false;
    }
    const std::string_view extension = path.substr(dot);
    return std::any_of(std::begin(kExtensions), std::end(kExtensions),
                       [&](std::string_view known) { return EqualsIgnoringCase(extension, known); });
}

std::size_t Id3v2Size(std::string_view head) {
    if (head.size() < 10 || !StartsWith(head, "ID3") || Byte(head, 3) == 0xFF || Byte(head, 4) == 0xFF) {
        return 0;
    }
    std::size_t size = 0;
    for (std::size_t at = 6; at < 10; ++at) {
        if ((Byte(head, at) & 0x80) != 0) {
            return 0;
        }
        size = (size << 7) | Byte(head, at);
    }
    const bool footer = (Byte(head, 5) & 0x10) != 0;
    return 10 + size + (footer ? 10 : 0);
}

std::string SniffAudioFormat(std::string_view head) {
    if (StartsWith(head, "fLaC")) return "flac";
    if (StartsWith(head, "OggS")) return OggFormat(head);
    if ((StartsWith(head, "RIFF") || StartsWith(head, "RF64")) && StartsWith(head, "WAVE", 8)) return "wav";
    if (StartsWith(head, "FORM") && (StartsWith(head, "AIFF", 8) || StartsWith(head, "AIFC", 8))) return "aiff";
    if (StartsWith(head, "ftyp", 4)) return "m4a";  // ALAC is told by its codec (TagReader)
    if (StartsWith(head, "wvpk")) return "wv";
    if (StartsWith(head, "MAC ")) return "ape";
    if (StartsWith(head, "\x30\x26\xb2\x75\x8e\x66\xcf\x11")) return "wma";
    if (StartsWith(head, "MPCK") || StartsWith(head, "MP+")) return "mpc";
    if (StartsWith(head, "TTA1")) return "tta";
    if (StartsWith(head, "DSD ")) return "dsf";
    // Frames of MPEG audio or ADTS, perhaps after some bytes of padding.
    const std::size_t end = std::min<std::size_t>(head.size(), 4096);
    for (std::size_t at = 0; at + 4 <= end; ++at) {
        if (Byte(head, at) != 0xFF) {
            continue;
        }
        if (FramesAt(head, at, MpegFrameLength)) return ((Byte(head, at + 1) >> 1) & 3) == 1 ? "mp3" : "mp2";
        if (FramesAt(head, at, AdtsFrameLength)) return "aac";
    }
    return {};
}

bool IsLossless(std::string_view format) {
    static constexpr std::string_view kLossless[] = {"flac", "oga", "wav", "aiff", "alac", "wv", "ape", "tta", "dsf"};
    return std::find(std::begin(kLossless), std::end(kLossless), format) != std::end(kLossless);
}

}  // namespace vorn::station
