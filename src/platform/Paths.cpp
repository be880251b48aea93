#include "platform/Paths.h"

namespace vorn {

std::string WithTrailingSeparator(std::string folder) {
    if (folder.empty() || folder.back() != kPathSeparator) {
        folder.push_back(kPathSeparator);
    }
    return folder;
}

}  // namespace vorn
