#include "library/RatingFolders.h"

#include "platform/Paths.h"

namespace vorn {

std::string RatingFolder(std::int32_t rating) {
    if (rating < 0 || rating > 5) {
        return std::string();
    }
    return std::string(kRatingFolders[rating]) + kPathSeparator;
}

}  // namespace vorn
