#pragma once

#include <string>

namespace vorn {

// The per-user install folder and the store values that point at it. On the
// first start (no "InstallDir" in the store) this does the installer's job:
// it makes $XDG_DATA_HOME/vorn and writes "InstallDir"; with no "MediaDir" it
// writes the music folder + "Vorn/". On every start it makes sure the skin is
// reachable there as "resources/" (a link to the installed resources), so the
// log, "pl.txt" and the skin all resolve against that folder.
class InstallFolder {
public:
    // Where the skin is found: "<exe>/../share/vorn/resources", where it is
    // installed (in a build tree, a link to the source tree's); empty when it
    // holds no skin.
    static std::string ResourcesSource(const std::string& executablePath);

    // Writes what is missing and returns the install folder (empty when none
    // could be made: the program then runs in the current folder). `problem`
    // gets a line for the log (which is not open yet) when something failed.
    static std::string Prepare(const std::string& executablePath, std::string& problem);
};

}  // namespace vorn
