#pragma once

#include <string>

namespace vorn {

// The per-user folders of the XDG base directory scheme. Each is read from the
// environment at every call, so tests can point them at temporary folders.
// None of them ends with a separator.
std::string HomeDir();
std::string ConfigHome();  // $XDG_CONFIG_HOME, else ~/.config
std::string DataHome();    // $XDG_DATA_HOME, else ~/.local/share
// The user's music folder: `xdg-user-dir MUSIC` when that answers with a
// folder other than the home folder, else ~/Music.
std::string MusicDir();

}  // namespace vorn
