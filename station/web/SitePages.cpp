#include "station/web/SitePages.h"

#include <cstdio>
#include <ctime>

#include "station/web/RatingChart.h"
#include "station/base/Utf8Text.h"

namespace vorn::station {
namespace {

std::string Page(const std::string& title, const std::string& body, const std::string& extraStyle = "") {
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + title +
           "</title>\n<style>\nbody{font-family:sans-serif;max-width:42em;margin:2em auto;padding:0 1em;"
           "line-height:1.5;color:#222}\nh1{color:#2b5d8a}\nh2{color:#2b5d8a;font-size:1.15em;margin-top:1.6em}\n"
           "code,kbd{background:#eef2f6;padding:0 .3em;border-radius:3px}\n" + extraStyle +
           "</style>\n</head>\n<body>\n" +
           body + "\n</body>\n</html>\n";
}

// The picture of the art cache under `key`, as the media host serves it.
std::string ArtImage(const std::string& key, const std::string& alt, const char* extra = "") {
    return "<img class=\"art\" src=\"/art/" + HtmlEscaped(key) + ".jpg\" alt=\"" + HtmlEscaped(alt) + "\"" + extra +
           ">";
}

std::string Stars(int value) { return std::to_string(value) + (value == 1 ? " star" : " stars"); }

std::string When(std::int64_t seconds) {
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    char text[32] = {};
    if (seconds <= 0 || gmtime_r(&time, &parts) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts) == 0) {
        return "-";
    }
    return text;
}

std::string FavouriteList(const std::vector<ListenerSummary::Favourite>& favourites, const char* kind) {
    if (favourites.empty()) {
        return std::string("<p>No favourite ") + kind + " yet: rate a few more pieces four or five stars.</p>\n";
    }
    std::string list = "<ol>\n";
    for (const ListenerSummary::Favourite& favourite : favourites) {
        char average[16];
        std::snprintf(average, sizeof average, "%.1f", favourite.average);
        list += "<li><strong>" + HtmlEscaped(favourite.name) + "</strong> (" + std::to_string(favourite.ratings) +
                (favourite.ratings == 1 ? " rating" : " ratings") + ", " + average + " stars on average)</li>\n";
    }
    return list + "</ol>\n";
}

}  // namespace

std::string HtmlEscaped(const std::string& text) {
    std::string out;
    for (char c : AsUtf8(text)) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string ProductPage() {
    return Page("Vorn Custom Radio",
                "<h1>Vorn Custom Radio</h1>\n"
                "<p>Vorn is a radio that learns what you like. It plays one piece of music after another, "
                "asks you for one to five stars when a piece ends, and picks the next pieces from what you "
                "rated. The more you rate, the better it fits.</p>\n"
                "<p>This station is the other half of Vorn: it keeps the music catalogue, remembers every "
                "listener's ratings, chooses the recommendations and serves the music files.</p>\n"
                "<ul>\n<li><a href=\"/help.html\">How to use Vorn</a></li>\n</ul>\n");
}

std::string HelpPage() {
    return Page(
        "Vorn Help",
        "<h1>Using Vorn</h1>\n"
        "<h2>Listening</h2>\n"
        "<p>Press play. Vorn asks its station for a few pieces of music, downloads them into your media "
        "folder and plays them one after another. The display shows the artist and title, the time played "
        "and the length of the piece. The back and forward buttons skip between pieces.</p>\n"
        "<h2>Rating</h2>\n"
        "<p>When a piece ends without a rating, the stars start to glow: click one to five stars. One star "
        "means &ldquo;not for me&rdquo;, five stars &ldquo;more like this, please&rdquo;. You can rate a "
        "piece at any time while it plays, and change your mind later. Every rating goes to the station, "
        "which leans towards the artists, albums and genres you rate high and away from those you rate low, "
        "while still mixing in something new now and then.</p>\n"
        "<h2>Your music folder</h2>\n"
        "<p>Every downloaded piece is kept in your media folder, in a sub-folder named after its rating: "
        "<code>UnRated</code>, <code>1star</code>, <code>2stars</code> and so on up to <code>5stars</code>. "
        "The options let you choose another media folder (Vorn moves the library for you) and remove "
        "low-rated music to save space.</p>\n"
        "<h2>The window</h2>\n"
        "<p>Drag the window anywhere; right-click it for the menu with the options, the about box and "
        "&ldquo;always on top&rdquo;. With hot keys switched on you can play, pause and skip from any "
        "program.</p>\n"
        "<h2>Connecting through a proxy</h2>\n"
        "<p>If your network only lets you out through a web proxy, right-click the Vorn window and choose "
        "Options &gt; Preferences, open the <strong>Connection</strong> page, tick &ldquo;Use a proxy&rdquo; "
        "and enter the proxy&rsquo;s server and port. Vorn then sends all its requests, for recommendations "
        "and for music, through that proxy. The same page names the station Vorn talks to.</p>\n"
        "<h2>When something goes wrong</h2>\n"
        "<p>If Vorn shows that it cannot reach its station, check your network connection and try again "
        "later. Pieces whose download failed are simply replaced by new ones. Vorn writes what it does to "
        "<code>logs/vorn.log</code> in its data folder; that file helps when you report a problem.</p>\n");
}

std::string ItemPage(const ItemRecord& item, const MediaLinks& links, const std::string& why,
                     const std::string& listenerToken, const std::string& art) {
    const std::string title = HtmlEscaped(item.title.empty() ? "Untitled" : item.title);
    const std::string artist = HtmlEscaped(item.artist.empty() ? "Unknown Artist" : item.artist.str());
    std::string body;
    if (!art.empty()) {
        body += ArtImage(art, "Cover of " + (item.album.empty() ? item.title : item.album)) + "\n";
    }
    body += "<h1>" + title + "</h1>\n<p>by <strong>" + artist + "</strong></p>\n";
    if (!listenerToken.empty() && !why.empty()) {
        body += "<p class=\"why\">Why this track: <em>" + HtmlEscaped(why) + "</em></p>\n";
    }
    body += "<ul>\n";
    if (!item.album.empty()) {
        body += "<li>Album: " + HtmlEscaped(item.album) + "</li>\n";
    }
    if (!item.genre.empty()) {
        body += "<li>Genre: " + HtmlEscaped(item.genre) + "</li>\n";
    }
    if (item.lengthSeconds > 0) {
        const int minutes = item.lengthSeconds / 60;
        const int seconds = item.lengthSeconds % 60;
        body += "<li>Length: " + std::to_string(minutes) + ":" + (seconds < 10 ? "0" : "") +
                std::to_string(seconds) + "</li>\n";
    }
    body += "</ul>\n<p><a href=\"" + HtmlEscaped(links.MediaUrl(item.id)) + "\">Download the MP3 file</a></p>\n";
    if (!listenerToken.empty()) {
        body += "<p><a class=\"listener\" href=\"/listener/" + HtmlEscaped(listenerToken) +
                "\">Your listening: ratings and favourites</a></p>\n";
    }
    return Page(title + " - " + artist, body,
                art.empty() ? "" : "img.art{float:right;width:16em;max-width:45%;height:auto;margin:0 0 1em 1.5em;"
                                   "border-radius:3px}\n");
}

std::string ListenerPage(const ListenerSummary& summary) {
    int total = 0;
    for (int count : summary.starCounts) {
        total += count;
    }
    std::string body = "<h1>Your listening</h1>\n<h2>Ratings given</h2>\n";
    body += "<p>" + std::to_string(total) + (total == 1 ? " rating" : " ratings") + " in all.</p>\n";
    body += "<figure>\n" + RatingChart(summary.starCounts) + "\n</figure>\n";
    body += "<h2>Favourite artists</h2>\n" + FavouriteList(summary.artists, "artists");
    body += "<h2>Favourite genres</h2>\n" + FavouriteList(summary.genres, "genres");
    body += "<h2>Rated last</h2>\n";
    if (summary.lastRated.empty()) {
        body += "<p>Nothing rated yet.</p>\n";
    } else {
        body += "<table>\n<thead><tr><th>Track</th><th>Album</th><th>Rating</th><th>Rated</th></tr></thead>\n"
                "<tbody>\n";
        for (const ListenerSummary::Rated& rated : summary.lastRated) {
            const ItemRecord& item = rated.item;
            const std::string track =
                item.id == 0 ? std::string("A track no longer in the catalogue")
                             : (item.artist.empty() ? "Unknown Artist" : item.artist.str()) + " - " +
                                   (item.title.empty() ? "Untitled" : item.title);
            const std::string picture =
                rated.art.empty() ? std::string() : ArtImage(rated.art, "", " width=\"32\" height=\"32\"") + " ";
            body += "<tr><td>" + picture + HtmlEscaped(track) + "</td><td>" + HtmlEscaped(item.album) + "</td><td>" +
                    Stars(rated.value) + "</td><td>" + When(rated.updated) + "</td></tr>\n";
        }
        body += "</tbody>\n</table>\n";
    }
    return Page("Your listening - Vorn", body,
                "table{border-collapse:collapse;width:100%}\nth,td{text-align:left;padding:.2em .5em;"
                "border-bottom:1px solid #dde}\ntd:last-child{white-space:nowrap}\nfigure{margin:1em 0}\n"
                "img.art{vertical-align:middle;object-fit:cover;border-radius:2px}\n");
}

std::string ErrorPage(int status, const std::string& reason) {
    return Page(std::to_string(status) + " " + reason,
                "<h1>" + std::to_string(status) + " " + HtmlEscaped(reason) + "</h1>\n");
}

}  // namespace vorn::station
