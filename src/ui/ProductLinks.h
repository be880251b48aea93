#pragma once

#include <string>

#include "foundation/ServerConfig.h"

namespace vorn {

// The product's own web page (served by the station), shown in the about box and
// opened for updates.
inline std::string ProductPageUrl() { return ServerConfig::ProductPageUrl(); }

}  // namespace vorn
