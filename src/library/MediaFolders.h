#pragma once

#include <string>

namespace vorn {

// Prepares the media folder at start-up, before the playlist loads: creates it,
// takes over the rating folders of the old default media folder inside the
// install folder ("<InstallDir>/media/"), and makes sure all six rating folders
// exist. Failures are ignored. Returns the media folder, with its trailing
// separator: "MediaDir" from the store, or "<current folder>/media/" when the
// store has none (start-up normally writes it on first run).
std::string PrepareMediaFolders();

}  // namespace vorn
