#pragma once

#include <string>

#include "station/app/ItemDetails.h"
#include "station/app/StationStore.h"

namespace vorn::station {

// The pages the media host serves besides the media: the product page ("/"),
// the help page the client opens ("/help.html") and one page per item (its
// "Source" link).
std::string ProductPage();
std::string HelpPage();
std::string ItemPage(const ItemRecord& item, const MediaLinks& links);
std::string ErrorPage(int status, const std::string& reason);

// Text made safe to stand in HTML.
std::string HtmlEscaped(const std::string& text);

}  // namespace vorn::station
