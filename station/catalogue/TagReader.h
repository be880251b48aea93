#pragma once

#include <string>

#include "station/store/StationStore.h"

namespace vorn::station {

// Reads what a file's own content says of it into the record (path must be
// set): its format (AudioFormat, told by the content, not the name), Artist,
// Title, Album and Genre through TagLib, every text as UTF-8 (AsUtf8), and
// its playing time and bitrate. Tags the file lacks stay empty (NamesFromPath
// fills them). Returns NotAudio when the content is of no audio format,
// Unreadable when the file cannot be read or TagLib finds no audio in it, and
// None otherwise; the record's tags and facts are cleared either way.
SkipReason ReadTags(ItemRecord& item);

}  // namespace vorn::station
