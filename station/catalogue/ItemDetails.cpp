#include "station/catalogue/ItemDetails.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

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

// The length in bytes of the UTF-8 sequence that starts with `lead`, 0 for a
// byte no sequence starts with. Texts here are valid UTF-8 (AsUtf8).
std::size_t SequenceLength(unsigned char lead) {
    return lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
         : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
}

// Characters that are unsafe in a file name or in the playlist file's XML
// text: path separators, control characters (C0, DEL and C1), the XML
// markup characters, and bytes that start no UTF-8 sequence.
bool IsUnsafe(std::string_view character) {
    const auto lead = static_cast<unsigned char>(character[0]);
    if (character.size() == 1) {
        return lead < 0x20 || lead == 0x7f || std::strchr("/\\<>&", static_cast<char>(lead)) != nullptr;
    }
    return lead == 0xC2 && static_cast<unsigned char>(character[1]) < 0xA0;  // U+0080..U+009F
}

// Keeps the letters, digits and marks of every script; every run of unsafe
// characters becomes one underscore. No "..", no leading dot, blank or dash,
// and at most `limit` bytes, cut between characters.
std::string Clean(std::string_view text, std::size_t limit = std::string::npos) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = SequenceLength(static_cast<unsigned char>(text[at]));
        const bool whole = length > 0 && at + length <= text.size();
        const std::string_view character = text.substr(at, whole ? length : 1);
        at += character.size();
        if (!whole || IsUnsafe(character)) {
            if (out.empty() || out.back() != '_') {
                out += '_';
            }
        } else if (!(character == "." && !out.empty() && out.back() == '.')) {
            if (out.size() + character.size() > limit) {
                break;
            }
            out += character;
        }
    }
    const std::size_t first = out.find_first_not_of(" ._-");
    if (first == std::string::npos) {
        return {};
    }
    out.erase(0, first);
    while (!out.empty() && (out.back() == ' ' || out.back() == '.')) {
        out.pop_back();
    }
    return out;
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
        stem = Clean(stem, kMaxNameLength);
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
