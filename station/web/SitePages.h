#pragma once

#include <string>

#include "station/catalogue/ItemDetails.h"
#include "station/web/ListenerSummary.h"
#include "station/store/StationStore.h"

namespace vorn::station {

// The pages the media host serves besides the media: the product page ("/"),
// the help page the client opens ("/help.html"), one page per item (its
// "Source" link) and one per listener ("/listener/<token>"). Every text from
// tags or the store is escaped, so a tag holding markup shows as text.
std::string ProductPage();
std::string HelpPage();
// With a listener's token (their Source link carried it and the store knew
// it), the page also tells why the item was picked for them, when known, and
// links their own page. With the key of its picture (ArtCache), the page
// shows it beside the text.
std::string ItemPage(const ItemRecord& item, const MediaLinks& links, const std::string& why = "",
                     const std::string& listenerToken = "", const std::string& art = "");
// The listener's ratings by stars (an SVG bar chart), favourite artists and
// genres and the tracks rated last (each with its picture, when it has one),
// readable without scripts.
std::string ListenerPage(const ListenerSummary& summary);
std::string ErrorPage(int status, const std::string& reason);

// Text made safe to stand in HTML, as UTF-8 (AsUtf8): a reason a store of an
// earlier station kept as a file gave it shows readably too.
std::string HtmlEscaped(const std::string& text);

}  // namespace vorn::station
