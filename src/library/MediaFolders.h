#pragma once

#include <string>

namespace vorn {

// Prepares the media folder at start-up, before the playlist loads: creates it,
// takes over the rating folders of the old default media folder inside the
// install folder ("<InstallDir>/media/"), and makes sure all six rating folders
// exist. Failures are ignored. Returns the media folder, with its trailing
// separator: "MediaDir" from the store, or "<current folder>/media/" when the
// store has none (start-up normally writes it on first run).
//
// A media folder that cannot be reached (see MediaFolderReachable) while the
// playlist file lists items inside it is taken for an unmounted drive or a share
// that is down: nothing is created or taken over, so the library is not cut off
// from its files by an empty new folder; the playlist keeps it until the folder
// returns. A folder that never existed and has no library is created.
std::string PrepareMediaFolders(const std::string& playlistFile);
std::string PrepareMediaFolders();

// True when `mediaFolder` is a folder holding at least one of the six rating
// folders. An empty mount point is a folder too, but holds none of them.
bool MediaFolderReachable(const std::string& mediaFolder);

}  // namespace vorn
