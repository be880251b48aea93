#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "station/store/StationStore.h"

namespace vorn::station {

// Where the media host can be reached from a listener's machine.
struct MediaLinks {
    std::string host = "127.0.0.1";
    int port = 8000;

    // "http://host:port/media/<id>.mp3" (no ":port" for port 80).
    std::string MediaUrl(std::int32_t id) const;
    // Where a redirected media request leads: "http://host:port/files/<id>.mp3".
    std::string RedirectedMediaUrl(std::int32_t id) const;
    // The item's page on the media host, "http://host:port/item/<id>.html",
    // with "?l=<token>" when a listener's page token is given: the page then
    // tells that listener why the item was picked and links their own page.
    std::string PageUrl(std::int32_t id, const std::string& listenerToken = "") const;
    // A picture of the art cache: "http://host:port/art/<key>.jpg".
    std::string ArtUrl(const std::string& key) const;
};

// What a recommendation tells of an item's file besides its tags, once the
// station has worked it out: the key of its picture in the art cache, and the
// gain in dB that levels its loudness.
struct MediaDetails {
    std::string art;
    std::optional<double> gainDb;
};

// A gain as the "Gain" detail gives it: dB with one decimal, "-3.2", "0.0", "4.5".
std::string GainText(double gainDb);

// A local file name for an item: "Artist - Title [id].mp3" with the letters
// and digits of every script kept and only what is unsafe in a file name or
// in the client's playlist file replaced (path separators, control
// characters, "<", ">", "&", bytes that are not UTF-8); no "..", no leading
// dot, and a stem of at most 120 bytes cut between characters. The id keeps
// the names of two items apart.
std::string PortableFileName(const ItemRecord& item);

// A tag value as it may stand inside an XML element of a reply: the readers of
// the replies do no unescaping, so angle brackets become parentheses and
// control characters blanks. Empty values become `fallback`.
std::string DetailValue(const std::string& value, const std::string& fallback);

// The details of one recommendation in the reply's form: url, Source, Filename,
// Artist, Title, Album, Genre, each as <detail><name>..</name><value>..</value></detail>,
// then, as far as they are known, Art (ArtUrl) and Gain (GainText), then Why
// when there is a reason to tell. A client keeps details it does not know
// without acting on them, so the described ones keep their places; the facts
// of the file follow them, the same for every listener, and the reason for
// this listener's pick stays last, as before. `listenerToken` goes into the
// Source link (PageUrl).
std::string DetailsXml(const ItemRecord& item, const MediaLinks& links, const std::string& listenerToken = "",
                       const std::string& why = "", const MediaDetails& media = {});

}  // namespace vorn::station
