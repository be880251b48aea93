// Makes the seed corpus of every harness from real traffic and real files: the
// client's engine talks to the station's protocol core and service through a
// recording relay on loopback (once directly, once through it as an HTTP proxy),
// the client's downloader and a browser ask the station's media host for what
// the replies link, and the library, the rating outbox and the store write their
// own files. Nothing is typed by hand except the demo catalogue the station
// serves, the listener's actions and a browser's headers around the links.
//
//     vorn-make-corpus OUTPUT_FOLDER
//
// writes OUTPUT_FOLDER/<Harness>/seed-<n> files (and leaves the PNG and media
// file seeds to the make-corpus script). Exits non-zero when a step of the conversation fails.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cryptopp/aes.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "download/HttpFileRetriever.h"
#include "foundation/Preferences.h"
#include "foundation/RegistryFile.h"
#include "foundation/RegistryKey.h"
#include "foundation/ServerConfig.h"
#include "fuzz/FuzzSupport.h"
#include "fuzz/StationFixture.h"
#include "library/RatingFolders.h"
#include "library/VornPlaylist.h"
#include "library/VornPlaylistItem.h"
#include "player/RatingOutbox.h"
#include "server/CryptoContext.h"
#include "server/VornClientEngine.h"
#include "station/web/MediaSite.h"
#include "station/store/SqliteDatabase.h"
#include "station/base/StationLog.h"
#include "station/app/StationServer.h"

namespace {

using namespace vorn;
namespace fs = std::filesystem;

std::string g_output;

void Save(const std::string& harness, const std::string& bytes) {
    static std::map<std::string, int> counts;
    const std::string dir = g_output + "/" + harness;
    fs::create_directories(dir);
    std::ofstream(dir + "/seed-" + std::to_string(++counts[harness]), std::ios::binary) << bytes;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Fail(const char* what) {
    std::fprintf(stderr, "make-corpus: %s\n", what);
    std::exit(1);
}

// A loopback relay that records every request head and every answer: it reads
// a head up to its empty line, passes it on to the station, and passes the
// station's bytes back until the station closes.
class Relay {
public:
    explicit Relay(int stationPort) : stationPort_(stationPort) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            Fail("relay: cannot listen");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~Relay() {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        thread_.join();
    }
    int Port() const { return port_; }
    std::vector<std::string> Heads() {
        std::lock_guard lock(mutex_);
        return heads_;
    }

private:
    void Run() {
        while (!stop_) {
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0) {
                return;
            }
            Serve(client);
            ::close(client);
        }
    }

    void Serve(int client) {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return;
            }
            head.append(buffer, static_cast<std::size_t>(n));
        }
        {
            std::lock_guard lock(mutex_);
            heads_.push_back(head);
        }
        const int station = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(stationPort_));
        if (::connect(station, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::send(station, head.data(), head.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(head.size())) {
            for (ssize_t n; (n = ::recv(station, buffer, sizeof buffer, 0)) > 0;) {
                ::send(client, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL);
            }
        }
        ::close(station);
    }

    const int stationPort_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;  // guards heads_
    std::vector<std::string> heads_;
};

// One listener's session: register, two rounds of recommendations, ratings.
void Listen(VornClientEngine& engine, const std::string& host, int port, std::vector<std::unique_ptr<Recommendation>>& received) {
    if (engine.Initialise(host, port) != kEngineOk) {
        Fail("the engine could not exchange keys");
    }
    std::int32_t user = 0;
    if (engine.RegisterUser(user, {{"os", "linux"}, {"lang", "en"}}) != kEngineOk) {
        Fail("the engine could not register");
    }
    VornClientEngine::RecommendationList list;
    if (engine.GetRecommendations(user, 1, 3, list) != kEngineOk || list.empty()) {
        Fail("no recommendations came");
    }
    std::map<std::int32_t, std::int32_t> ratings;
    std::int32_t stars = 5;
    for (const auto& rec : list) {
        ratings[rec->ItemId()] = stars--;
    }
    if (engine.SubmitRatings(user, ratings) != kEngineOk) {
        Fail("the ratings were not sent");
    }
    if (engine.GetRecommendations(user, 1, 1, list) != kEngineOk) {
        Fail("the second recommendations request failed");
    }
    for (auto& rec : list) {
        received.push_back(std::move(rec));
    }
}

// An XmlElement harness input: tag, value and number, then the text (see the harness).
std::string XmlInput(const std::string& tag, const std::string& value, const std::string& text) {
    return tag + "\\ " + value + "\\ " + text + std::string("\x07\x00\x00\x00", 4);
}

// What a server at 127.0.0.1:port answers to `request`: the raw bytes, up to
// `limit` (by default 4 KiB: a head and the start of its body).
std::string RawExchange(int port, const std::string& request, std::size_t limit = 4096) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return std::string();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        for (ssize_t n; answer.size() < limit && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            answer.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return answer.substr(0, limit);
}

// The media host's answers as the client's head reader and retriever see them.
void SaveMediaAnswers(int port, const std::string& target) {
    for (const char* version : {"HTTP/1.1", "HTTP/1.0"}) {
        for (const char* method : {"GET", "HEAD"}) {
            const std::string answer = RawExchange(
                port, std::string(method) + " " + target + " " + version + "\r\nHost: 127.0.0.1\r\n\r\n");
            if (answer.empty()) Fail("the media host did not answer");
            Save("ResponseHead", std::string("\x07\xff", 2) + answer);
            const std::size_t blank = answer.find("\r\n\r\n");
            if (blank != std::string::npos) {
                Save("MediaResponse", "\x01" + answer.substr(0, blank + 2));
            }
        }
    }
}

// The heads the client's downloader sends for `url` while it fetches it (the
// content network first, then the host itself, all through a recording relay
// in front of the media host as the listener's proxy).
std::vector<std::string> DownloadHeads(int mediaPort, const std::string& url, const std::string& folder) {
    Relay relay(mediaPort);
    Preferences viaProxy;
    viaProxy.SetProxyServer("127.0.0.1");
    viaProxy.SetProxyPort(relay.Port());
    if (!viaProxy.SetUseProxy(true)) {
        Fail("the proxy setting was refused");
    }
    fs::create_directories(folder);
    HttpFileRetriever retriever(nullptr, folder + "/download.mp3", UrlParts(url), &viaProxy);
    retriever.Start();
    for (int waited = 0; !retriever.IsFinished(); ++waited) {
        if (waited == 1000) Fail("a download did not end");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return relay.Heads();
}

// A MediaSite harness input: the host picked (bit 0 the mirror, as the server
// decides for a content-network name; bit 1 the redirecting host), then the
// head with the listener's token as "{token}".
void SaveSiteRequest(const std::string& head, bool redirecting, const std::string& token) {
    const std::size_t line = head.find("\r\n");
    const bool mirror = head.substr(0, line).find(CDN_HOST_SUFFIX) != std::string::npos;
    std::string marked = head;
    for (std::size_t at; !token.empty() && (at = marked.find(token)) != std::string::npos;) {
        marked.replace(at, token.size(), "{token}");
    }
    Save("MediaSite", std::string(1, static_cast<char>((mirror ? 1 : 0) | (redirecting ? 2 : 0))) + marked);
}

// What a browser sends for a page of the media host the replies name.
std::string BrowserHead(const std::string& method, const std::string& target) {
    const station::MediaLinks links = fuzz::StationFixture::Links();
    return method + " " + target + " HTTP/1.1\r\nHost: " + links.host + ":" + std::to_string(links.port) +
           "\r\nUser-Agent: Mozilla/5.0\r\nAccept: text/html\r\nConnection: keep-alive\r\n\r\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    g_output = fs::absolute(argv[1]).string();
    const std::string work = fuzz::Scratch::Get().Path();
    station::StationLog::SetSink([](LogLevel, const std::string&) {});

    // The station, recording the decrypted requests and replies and the raw targets.
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> exchanges;  // request XML, reply XML
    std::vector<std::string> targets;
    std::string keyExchange;
    fuzz::StationFixture station(work + "/station", [&](const std::string& request, const std::string& reply) {
        std::lock_guard lock(mutex);
        exchanges.emplace_back(request, reply);
    });
    station::ServerSettings settings;
    settings.protocolPort = 0;
    settings.mediaPort = 0;
    settings.mirrorPort = 0;  // the content network's names reach the mirror whatever port they name
    settings.threads = 1;
    station::StationServer server(settings);
    std::string error;
    if (!server.Bind(error)) {
        Fail("the station cannot bind");
    }
    // The media host the replies name: its mirror serves what they link.
    station::MediaSite site(station.Store(), station.Catalogue(), fuzz::StationFixture::Links(), false);
    server.Start(
        [&](const std::string& target, std::string& response, std::string& why) {
            const station::ProtocolOutcome outcome = station.Core().Respond(target, response, why);
            std::lock_guard lock(mutex);
            targets.push_back(target);
            if (target == "/" || target.ends_with(":" + std::to_string(server.ProtocolPort()) + "/")) {
                keyExchange = response.substr(0, response.find("\r\n\r\n"));
            }
            return outcome;
        },
        site);

    // Two listeners: one straight to the station, one through the relay as a proxy.
    Relay relay(server.ProtocolPort());
    std::vector<std::unique_ptr<Recommendation>> received;
    {
        Preferences direct;
        VornClientEngine engine(&direct);
        Listen(engine, "127.0.0.1", relay.Port(), received);
    }
    {
        Preferences viaProxy;
        viaProxy.SetProxyServer("127.0.0.1");
        viaProxy.SetProxyPort(relay.Port());
        if (!viaProxy.SetUseProxy(true)) {
            Fail("the proxy setting was refused");
        }
        VornClientEngine engine(&viaProxy);
        Listen(engine, "127.0.0.1", server.ProtocolPort(), received);
    }
    const std::vector<std::string> heads = relay.Heads();
    // Media answers: a file, a file that is not there, and a redirect.
    if (!received.empty()) {
        const std::string url = received.front()->MediaUrl().Url();
        const std::size_t path = url.find('/', url.find("//") + 2);
        SaveMediaAnswers(server.MediaPort(), url.substr(path));
    }
    SaveMediaAnswers(server.MediaPort(), "/media/999999.mp3");
    {
        station::ServerSettings redirecting = settings;
        station::StationServer other(redirecting);
        if (!other.Bind(error)) Fail("the redirecting media host cannot bind");
        station::MediaSite moved(station.Store(), station.Catalogue(), fuzz::StationFixture::Links(), true);
        other.Start([](const std::string&, std::string&, std::string&) { return station::ProtocolOutcome::Unusable; },
                    moved);
        SaveMediaAnswers(other.MediaPort(), "/media/1.mp3");
        const std::string url = fuzz::StationFixture::Links().MediaUrl(1);
        for (const std::string& head : DownloadHeads(other.MediaPort(), url, work + "/moved")) {
            SaveSiteRequest(head, true, "");
        }
        other.Stop();
    }
    // The protocol port's answer has no status line: the head reader sees a token.
    Save("ResponseHead", std::string("\x01\xff", 2) + RawExchange(server.ProtocolPort(), "GET / HTTP/1.0\r\n\r\n"));
    // The media host as the client's downloader and a browser ask it: a
    // recommendation's file and one that is not there, the item page of its
    // Source link (with the listener's token), the listener's page that page
    // links, and the help and product pages the client opens.
    if (received.empty()) Fail("no recommendation to follow");
    const std::string source = received.front()->SourceUrl().Url();
    if (source.find("?l=") == std::string::npos) Fail("the Source link carries no token");
    const std::string token = source.substr(source.find("?l=") + 3);
    for (const std::string& url :
         {received.front()->MediaUrl().Url(), fuzz::StationFixture::Links().MediaUrl(999999)}) {
        for (const std::string& head : DownloadHeads(server.MediaPort(), url, work + "/download")) {
            SaveSiteRequest(head, false, token);
        }
    }
    const std::string itemPath = UrlParts(source).Path();
    const std::string itemPage = RawExchange(server.MediaPort(), BrowserHead("GET", itemPath), 1 << 20);
    const std::size_t link = itemPage.find("href=\"/listener/");
    if (link == std::string::npos) Fail("the item page links no listener page");
    const std::size_t linkEnd = itemPage.find('"', link + 6);
    for (const std::string& target : {itemPath, itemPage.substr(link + 6, linkEnd - link - 6),
                                      UrlParts(ServerConfig::HelpPageUrl()).Path(),
                                      UrlParts(ServerConfig::ProductPageUrl()).Path()}) {
        SaveSiteRequest(BrowserHead("GET", target), false, token);
    }
    SaveSiteRequest(BrowserHead("HEAD", itemPath), false, token);
    server.Stop();
    // Copies: the replies made below for the fixed key pass the observer too.
    const auto captured = [&] {
        std::lock_guard lock(mutex);
        return exchanges;
    }();

    // The station's side.
    for (const std::string& head : heads) {
        Save("StationRequestHead", head);
    }
    for (const std::string& target : targets) {
        Save("StationToken", std::string(1, '\0') + target);
    }
    std::string keyBlock("\x10\x00\x00\x00", 4);
    keyBlock += test::vectors::kClientKey + std::string(108, '\x5a');
    for (const auto& [request, reply] : captured) {
        Save("StationDispatch", request);
        Save("StationToken", std::string(1, '\x02') + request);
        Save("StationToken", std::string(1, '\x01') + keyBlock + fuzz::EncryptPadded(test::vectors::kClientKey, request));
    }

    // The client's side: replies under the fixed client key, as the station
    // answers the same requests sealed by a context with that key.
    fuzz::FixedRandom random(test::vectors::kClientKey);
    std::unique_ptr<CryptoContext> client = CryptoContext::Create(random);
    if (!client || !client->LoadPublicKey(test::vectors::kPublicKeyBase64)) {
        Fail("no fixed-key client context");
    }
    Save("ReplyToken", std::string(1, '\x01') + keyExchange);
    Save("ReplyToken", std::string(1, '\x02') + XmlElement(keyExchange).Child("pubkey").Text());
    Save("XmlElement", XmlInput("build", "windows", keyExchange));
    for (const auto& [request, reply] : captured) {
        Save("XmlElement", XmlInput("type", "x", request));
        if (reply.empty()) {
            continue;
        }
        Save("ReplyToken", std::string(1, '\x01') + reply);
        Save("XmlElement", XmlInput("recommendation", "detail", reply));
        std::string response;
        std::string why;
        if (station.Core().Respond("/" + client->EncryptRequest(XmlElement(request)), response, why) ==
                station::ProtocolOutcome::Answer &&
            !response.empty()) {
            Save("ReplyToken", std::string(1, '\0') + response.substr(0, response.size() - 4));
        }
    }
    for (const auto& rec : received) {
        Save("Recommendation", rec->ToXml().Text());
        Save("UrlParts", rec->MediaUrl().Url());
        Save("UrlParts", rec->SourceUrl().Url());
    }

    // "pl.txt" as the library writes it: the received items filed by rating,
    // loaded and saved by a VornPlaylist.
    const std::string media = work + "/media/";
    const std::string list = work + "/pl.txt";
    {
        std::ofstream out(list, std::ios::binary);
        std::int32_t rating = 0;
        for (const auto& rec : received) {
            const std::string folder = media + RatingFolder(rating);
            fs::create_directories(folder);
            auto copy = std::make_unique<Recommendation>(*rec);
            VornPlaylistItem item(std::move(copy), folder, rating == 0 ? 0 : 1700000000 + rating, rating);
            std::ofstream(item.FullPath()) << "ID3";
            out << item.ToXml().Text() << '\n';
            rating = (rating + 2) % 6;
        }
    }
    { VornPlaylist playlist(media, nullptr, Clock::System(), nullptr, list); }
    const std::string saved = ReadAll(list);
    if (saved.empty()) {
        Fail("the library saved nothing");
    }
    Save("Playlist", saved);
    Save("Playlist", saved.substr(0, saved.find('\n') + 1));

    // "ratings-outbox.txt" as the client's outbox leaves it: the listener's
    // ratings of the received items, one of them changed before it was sent,
    // the oldest acknowledged; then as a crash in the middle of an append
    // leaves it.
    {
        const std::string path = work + "/ratings-outbox.txt";
        RatingOutbox outbox(path, work + "/ratings-outbox.damaged");
        std::int32_t stars = 0;
        for (const auto& rec : received) {
            outbox.Add(rec->ItemId(), ++stars % 5 + 1);
        }
        outbox.Add(received.back()->ItemId(), 1);
        outbox.Add(received.front()->ItemId() + 1000, 4);
        outbox.Acknowledge(outbox.Oldest(1));
        const std::string waiting = ReadAll(path);
        if (waiting.empty()) Fail("the outbox kept nothing");
        Save("RatingOutbox", waiting);
        outbox.Add(received.front()->ItemId() + 2000, 5);
        const std::string appended = ReadAll(path);
        Save("RatingOutbox", appended.substr(0, appended.size() - 3));
    }

    // The recent sets as the station's store keeps them: count, items, whys.
    station.Recorder().Flush();
    {
        station::SqliteDatabase db;
        if (!db.Open(work + "/station/station.db")) Fail("the station's store cannot be read");
        station::SqliteStatement sets = db.Prepare("SELECT count, items, whys FROM recent_sets ORDER BY seq");
        while (sets.Step()) {
            Save("RecentSet", std::to_string(sets.Int(0)) + "\n" + sets.Text(1) + "\n" + sets.Text(2));
        }
        if (!sets.Done()) Fail("the recent sets cannot be read");
    }

    // The store as Preferences wrote it above, then with every value type.
    const std::string store = RegistryKey::StorePath(kVornKeyPath);
    Save("RegistryFile", ReadAll(store));
    const RegistryFile file(store, "HKEY_CURRENT_USER\\Software\\Mirelund\\Vorn");
    RegistryData dword;
    dword.type = RegistryType::Dword;
    dword.dword = 13;
    RegistryData binary;
    binary.type = RegistryType::Binary;
    binary.bytes = {0x0a, 0x0b, 0xff};
    RegistryData multi;
    multi.type = RegistryType::MultiString;
    multi.strings = {"a", "b c"};
    RegistryData lines;
    lines.type = RegistryType::String;
    lines.text = "two\nlines \"quoted\" \\ back";
    if (!file.Write("user_id_0", dword) || !file.Write("blob", binary) || !file.Write("list", multi) ||
        !file.Write("note", lines)) {
        Fail("the store could not be written");
    }
    Save("RegistryFile", ReadAll(store));
    std::printf("make-corpus: %zu exchanges, %zu heads, %zu recommendations\n", captured.size(), heads.size(),
                received.size());
    return 0;
}
