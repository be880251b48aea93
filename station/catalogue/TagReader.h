#pragma once

#include <string>

#include "station/store/StationStore.h"

namespace vorn::station {

// Reads Artist, Title, Album, Genre and the playing time of an MP3 file into the
// record (path must be set), every text as UTF-8 (AsUtf8). Missing tags stay
// empty, except the title, which falls back to the file name without its
// extension. Returns false (leaving the
// fallback title) when the file cannot be read as MPEG audio at all.
bool ReadTags(ItemRecord& item);

}  // namespace vorn::station
