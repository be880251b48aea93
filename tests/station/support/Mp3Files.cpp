#include "tests/station/support/Mp3Files.h"

#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>

#include <fstream>
#include <vector>

namespace vorn::station::test {

bool WriteSilentMp3(const std::string& path, int seconds, unsigned noiseSeed) {
    // 0xFFFB9000: MPEG-1, layer III, no CRC, 128 kbit/s, 44.1 kHz, stereo;
    // 417 bytes and 1152 samples per frame.
    std::vector<char> frame(417, 0);
    frame[0] = static_cast<char>(0xFF);
    frame[1] = static_cast<char>(0xFB);
    frame[2] = static_cast<char>(0x90);
    frame[3] = 0x00;
    const int frames = seconds * 44100 / 1152 + 1;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    unsigned state = noiseSeed;
    for (int i = 0; i < frames && out; ++i) {
        for (std::size_t k = 4; noiseSeed != 0 && k < frame.size(); ++k) {
            state = state * 1103515245u + 12345u;
            frame[k] = static_cast<char>(state >> 16);
        }
        out.write(frame.data(), static_cast<std::streamsize>(frame.size()));
    }
    return static_cast<bool>(out);
}

bool TagMp3(const std::string& path, const std::string& artist, const std::string& title,
            const std::string& album, const std::string& genre) {
    TagLib::MPEG::File file(path.c_str());
    if (!file.isValid()) {
        return false;
    }
    TagLib::ID3v2::Tag* tag = file.ID3v2Tag(true);
    tag->setArtist(TagLib::String(artist, TagLib::String::UTF8));
    tag->setTitle(TagLib::String(title, TagLib::String::UTF8));
    tag->setAlbum(TagLib::String(album, TagLib::String::UTF8));
    tag->setGenre(TagLib::String(genre, TagLib::String::UTF8));
    return file.save();
}

bool TagMp3Bytes(const std::string& path, const std::string& artist, const std::string& title,
                 const std::string& album, const std::string& genre, bool id3v1) {
    TagLib::MPEG::File file(path.c_str());
    if (!file.isValid()) {
        return false;
    }
    // Each byte becomes the character of the same number, which a Latin-1
    // frame writes back as that byte.
    const auto bytes = [](const std::string& text) { return TagLib::String(text, TagLib::String::Latin1); };
    if (id3v1) {
        TagLib::ID3v1::Tag* tag = file.ID3v1Tag(true);
        tag->setArtist(bytes(artist));
        tag->setTitle(bytes(title));
        tag->setAlbum(bytes(album));
        tag->setGenre(bytes(genre));
        return file.save(TagLib::MPEG::File::ID3v1, TagLib::File::StripOthers);
    }
    TagLib::ID3v2::Tag* tag = file.ID3v2Tag(true);
    for (const auto& [id, text] : {std::pair{"TPE1", &artist}, std::pair{"TIT2", &title}, std::pair{"TALB", &album},
                                   std::pair{"TCON", &genre}}) {
        auto* frame = new TagLib::ID3v2::TextIdentificationFrame(id, TagLib::String::Latin1);
        frame->setText(bytes(*text));
        tag->removeFrames(id);
        tag->addFrame(frame);  // the tag owns it
    }
    return file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers);
}

}  // namespace vorn::station::test
