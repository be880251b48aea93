#include "station/catalogue/ItemDetails.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace vorn::station {
namespace {

constexpr std::size_t kMaxNameLength = 120;

std::string Origin(const MediaLinks& links) {
    std::string origin = "http://" + links.host;
    if (links.port != 80) {
        origin += ":" + std::to_string(links.port);
    }
    return origin;
}

// Keeps letters, digits and a few harmless marks; every run of anything else
// becomes one underscore.
std::string Clean(const std::string& text) {
    static const char* const kKept = " -_.,()&'!+#@=~";
    std::string out;
    for (unsigned char c : text) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          (c != 0 && std::strchr(kKept, c) != nullptr);
        if (keep) {
            out += static_cast<char>(c);
        } else if (out.empty() || out.back() != '_') {
            out += '_';
        }
    }
    // No "..": a dot never follows a dot.
    std::string single;
    for (char c : out) {
        if (!(c == '.' && !single.empty() && single.back() == '.')) {
            single += c;
        }
    }
    const std::size_t first = single.find_first_not_of(" ._-");
    if (first == std::string::npos) {
        return {};
    }
    single = single.substr(first);
    while (!single.empty() && (single.back() == ' ' || single.back() == '.')) {
        single.pop_back();
    }
    return single;
}

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

// Nothing but blanks once control characters are blanked.
bool IsBlank(const std::string& value) {
    return std::all_of(value.begin(), value.end(), [](char c) { return c == ' ' || IsControl(c); });
}

// Appends `value` as DetailValue gives it, without a string of its own.
void AppendValue(std::string& out, const std::string& value, const std::string& fallback) {
    if (IsBlank(value)) {
        out += fallback;
        return;
    }
    for (const char c : value) {
        out += c == '<' ? '(' : c == '>' ? ')' : IsControl(c) ? ' ' : c;
    }
}

// `value` is a tag's text (escaped here, with its fallback) or, without a
// fallback, text this station made (a link, a file name) that goes in as it is.
void AddDetail(std::string& xml, const char* name, const std::string& value, const char* fallback = nullptr) {
    xml += "<detail><name>";
    xml += name;
    xml += "</name><value>";
    if (fallback != nullptr) {
        AppendValue(xml, value, fallback);
    } else {
        xml += value;
    }
    xml += "</value></detail>";
}

}  // namespace

std::string MediaLinks::MediaUrl(std::int32_t id) const {
    return Origin(*this) + "/media/" + std::to_string(id) + ".mp3";
}

std::string MediaLinks::RedirectedMediaUrl(std::int32_t id) const {
    return Origin(*this) + "/files/" + std::to_string(id) + ".mp3";
}

std::string MediaLinks::PageUrl(std::int32_t id, const std::string& listenerToken) const {
    std::string url = Origin(*this) + "/item/" + std::to_string(id) + ".html";
    if (!listenerToken.empty()) {
        url += "?l=" + listenerToken;
    }
    return url;
}

std::string MediaLinks::ArtUrl(const std::string& key) const { return Origin(*this) + "/art/" + key + ".jpg"; }

std::string GainText(double gainDb) {
    char text[32];
    const auto [end, failure] = std::to_chars(text, text + sizeof text, gainDb, std::chars_format::fixed, 1);
    std::string value = failure == std::errc() ? std::string(text, end) : std::string("0.0");
    return value == "-0.0" ? "0.0" : value;
}

std::string PortableFileName(const ItemRecord& item) {
    std::string artist = Clean(item.artist);
    std::string title = Clean(item.title);
    std::string stem = artist.empty() ? title : (title.empty() ? artist : artist + " - " + title);
    if (stem.size() > kMaxNameLength) {
        stem = Clean(stem.substr(0, kMaxNameLength));
    }
    if (stem.empty()) {
        stem = "Track";
    }
    return stem + " [" + std::to_string(item.id) + "].mp3";
}

std::string DetailValue(const std::string& value, const std::string& fallback) {
    std::string out;
    AppendValue(out, value, fallback);
    return out;
}

std::string DetailsXml(const ItemRecord& item, const MediaLinks& links, const std::string& listenerToken,
                       const std::string& why, const MediaDetails& media) {
    std::string xml;
    xml.reserve(512 + item.artist.size() + item.title.size() + item.album.size() + item.genre.size() + why.size());
    xml += "<details>";
    AddDetail(xml, "url", links.MediaUrl(item.id));
    AddDetail(xml, "Source", links.PageUrl(item.id, listenerToken));
    AddDetail(xml, "Filename", PortableFileName(item));
    AddDetail(xml, "Artist", item.artist, "Unknown Artist");
    AddDetail(xml, "Title", item.title, "Untitled");
    AddDetail(xml, "Album", item.album, "Unknown Album");
    AddDetail(xml, "Genre", item.genre, "Unknown Genre");
    if (!media.art.empty()) {
        AddDetail(xml, "Art", links.ArtUrl(media.art));
    }
    if (media.gainDb) {
        AddDetail(xml, "Gain", GainText(*media.gainDb));
    }
    if (!IsBlank(why)) {
        AddDetail(xml, "Why", why, "");
    }
    xml += "</details>";
    return xml;
}

}  // namespace vorn::station
