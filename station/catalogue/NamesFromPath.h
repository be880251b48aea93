#pragma once

#include <string>
#include <string_view>

#include "station/store/StationStore.h"

namespace vorn::station {

// Fills the artist, album and title a file's tags left empty from its path
// below the music folder, laid out as "Artist/Album/01 Title.ext": the file
// name without its extension and track number gives the title, its folder
// the album and that folder's folder the artist ("CD 2" and "Disc 1" folders
// are passed over to the album's). Without two folders above it, the artist
// comes from an "Artist - Title" file name or else an "Artist - Album" folder;
// a single folder is the album otherwise ("Rock/Artist - Title.mp3" has the
// album "Rock"). Every text as UTF-8 (AsUtf8).
void FillNamesFromPath(ItemRecord& item, std::string_view musicDir);

// A file name's title: without a leading track number ("01 ", "01 - ",
// "1. ", "01_", "1-03 ") unless nothing would be left.
std::string TitleWithoutNumber(std::string_view stem);

}  // namespace vorn::station
