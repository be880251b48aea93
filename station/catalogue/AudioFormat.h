#pragma once

#include <string>
#include <string_view>

namespace vorn::station {

// The audio formats the catalogue takes, told by a file's content (its name
// only decides whether a scan looks at it). Format names are short and
// stable, as the catalogue's summary and the store show them: "mp3" (MPEG
// layer III, the one format a player takes as it is), "mp2" (layers I and
// II), "flac",
// "ogg" (Vorbis), "opus", "oga" (FLAC in Ogg), "spx", "wav", "aiff", "m4a"
// (AAC), "alac" (Apple Lossless in an M4A file), "aac" (bare ADTS), "wv",
// "ape", "wma", "mpc", "tta", "dsf".

// True for a name whose extension is one of audio files' (any case): the
// files a scan looks at.
bool HasAudioName(std::string_view path);

// The format of a file from its first bytes, after any ID3v2 tag (the caller
// skips it: Id3v2Size); "" when they are not of an audio format.
std::string SniffAudioFormat(std::string_view head);

// The size of the ID3v2 tag at the start of `head` (header and footer
// included), 0 when there is none. `head` needs only its first 10 bytes.
std::size_t Id3v2Size(std::string_view head);

// Lossless formats outrank lossy copies of the same recording.
bool IsLossless(std::string_view format);

}  // namespace vorn::station
