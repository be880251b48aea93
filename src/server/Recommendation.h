#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "server/UrlParts.h"
#include "xml/XmlElement.h"

namespace vorn {

// One media item recommended by the server: its ids, where to download it, its
// source, the local file name and free-form details such as "Artist" and "Title".
// Built from a recommendations reply (VornClientEngine) or from its stored form
// in the playlist file (FromXml); a plain value otherwise.
class Recommendation {
public:
    using DetailMap = std::map<std::string, std::string>;

    Recommendation(std::int32_t itemId, std::int32_t typeId) : itemId_(itemId), typeId_(typeId) {}

    // Names are compared exactly: "url" sets the media URL, "Source" the source
    // URL, "Filename" the file name; any other name goes into the details unless
    // it is already there (the first value stays).
    void AddDetail(const std::string& name, const std::string& value);

    // True when the media URL, the source URL and the file name are all set.
    bool IsComplete() const;

    // Replaces "<" by "(" and ">" by ")" in every name and value (the URLs and
    // the file name included), as the station does on its side. The stored form
    // is XML that is never unescaped, so a value such as "</recommendation>"
    // would cut its record short and lose it on the next load. Applied to what
    // the server sends before it is stored.
    void ReplaceAngleBrackets();

    std::int32_t ItemId() const { return itemId_; }
    std::int32_t TypeId() const { return typeId_; }
    const UrlParts& MediaUrl() const { return mediaUrl_; }
    const UrlParts& SourceUrl() const { return sourceUrl_; }
    const std::string& FileName() const { return fileName_; }
    const DetailMap& Details() const { return details_; }
    // The value of one detail, or an empty text when there is none.
    std::string Detail(const std::string& name) const;

    // The stored form, "<vornrecommendation>...</vornrecommendation>", built with
    // SetChild so that the elements come out in the reverse order of insertion
    // (details, filename, source, url, typeid, itemid) and the details in
    // descending name order. The playlist file depends on this exact text.
    XmlElement ToXml() const;
    // Reads the stored form back; null when the element holds no
    // "vornrecommendation" or the record it gives is not complete.
    static std::unique_ptr<Recommendation> FromXml(XmlElement element);

    friend bool operator==(const Recommendation&, const Recommendation&) = default;

private:
    std::int32_t itemId_;
    std::int32_t typeId_;
    UrlParts mediaUrl_;
    UrlParts sourceUrl_;
    std::string fileName_;
    DetailMap details_;
};

}  // namespace vorn
