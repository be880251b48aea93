#include "station/catalogue/MusicFile.h"

#include "station/catalogue/NamesFromPath.h"
#include "station/catalogue/TagReader.h"

namespace vorn::station {

const char* SkipReasonName(SkipReason reason) {
    switch (reason) {
        case SkipReason::None: return "playable";
        case SkipReason::Unreadable: return "unreadable";
        case SkipReason::NotAudio: return "not audio";
        case SkipReason::NoDecoder: return "no decoder";
    }
    return "unreadable";
}

MusicFile InspectMusicFile(const std::string& path, std::int64_t size, std::int64_t modified,
                           const std::string& musicDir) {
    MusicFile music;
    music.file.path = path;
    music.file.fileSize = size;
    music.file.modified = modified;
    music.tags.path = path;
    music.tags.fileSize = size;
    music.tags.modified = modified;
    music.file.skipped = ReadTags(music.tags);
    music.file.format = music.tags.format;
    music.file.bitrate = music.tags.bitrate;
    switch (music.file.skipped) {
        case SkipReason::NotAudio: music.problem = "no audio format known by its content"; return music;
        case SkipReason::Unreadable: music.problem = "cannot be read, or holds no audio"; return music;
        default: break;
    }
    const bool mpeg = music.file.format == "mp3" || music.file.format == "mp2";
    const std::uint64_t frames = mpeg ? MpegFramesKey(path) : 0;
    switch (MakeContentPrint(path, music.print, music.problem)) {
        case PrintOutcome::NoDecoder: music.file.skipped = SkipReason::NoDecoder; break;
        case PrintOutcome::Unreadable: music.file.skipped = SkipReason::Unreadable; break;
        case PrintOutcome::Made: break;
    }
    // MPEG audio whose frames TagLib reads is served as it is, as it always
    // was, even where the decoder makes nothing of them: known by its frames
    // alone, without a print.
    if (frames != 0 && music.file.skipped != SkipReason::None) {
        music.file.skipped = SkipReason::None;
        music.print = ContentPrint();
        music.problem.clear();
    }
    if (music.file.skipped != SkipReason::None) {
        return music;
    }
    music.file.content = frames != 0 ? frames : music.print.key;
    if (music.tags.lengthSeconds <= 0) {
        music.tags.lengthSeconds = music.print.seconds;
    }
    FillNamesFromPath(music.tags, musicDir);
    return music;
}

}  // namespace vorn::station
