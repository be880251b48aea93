#include "library/VornPlaylistItem.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <limits>

#include "download/ArtRetriever.h"
#include "download/HttpFileRetriever.h"
#include "foundation/LogEntry.h"
#include "library/VornPlaylist.h"

namespace vorn {
namespace {

// Truncation toward zero that stays defined for any float.
std::int32_t Truncate(float value) {
    if (!std::isfinite(value)) {
        return 0;
    }
    if (value >= 2147483647.0f) return std::numeric_limits<std::int32_t>::max();
    if (value <= -2147483648.0f) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

// A decimal number of dB, blanks around it allowed ("-3.2", "+1.5").
std::optional<double> ParseGain(const Recommendation& recommendation) {
    const auto& details = recommendation.Details();
    const auto found = details.find("Gain");
    if (found == details.end()) {
        return std::nullopt;
    }
    const std::string& text = found->second;
    std::size_t begin = text.find_first_not_of(" \t");
    std::size_t end = text.find_last_not_of(" \t");
    double gain = 0.0;
    bool read = false;
    if (begin != std::string::npos) {
        if (text[begin] == '+' && begin < end) ++begin;
        const auto [stop, error] = std::from_chars(text.data() + begin, text.data() + end + 1, gain);
        read = error == std::errc() && stop == text.data() + end + 1 && std::isfinite(gain);
    }
    if (!read) {
        VORN_LOG(LogLevel::Warning) << "VornPlaylistItem : Ignoring the Gain detail of item " << recommendation.ItemId()
                                    << ": not a number of dB: " << text;
        return std::nullopt;
    }
    if (gain < VornPlaylistItem::kMinGainDb || gain > VornPlaylistItem::kMaxGainDb) {
        gain = std::clamp(gain, VornPlaylistItem::kMinGainDb, VornPlaylistItem::kMaxGainDb);
        VORN_LOG(LogLevel::Warning) << "VornPlaylistItem : The Gain detail of item " << recommendation.ItemId()
                                    << " (" << text << " dB) is taken as " << gain << " dB";
    }
    return gain;
}

}  // namespace

std::string VornPlaylistItem::SafeFileName(const std::string& name) {
    std::string safe = name;
    for (char& c : safe) {
        if (c == '/' || c == '\\' || c == '\0') {
            c = '_';
        }
    }
    if (safe.empty() || safe == "." || safe == "..") {
        return "_";
    }
    return safe;
}

VornPlaylistItem::VornPlaylistItem(std::unique_ptr<Recommendation> recommendation, std::string location,
                                   VornPlaylist* playlist, const Preferences* preferences)
    : recommendation_(std::move(recommendation)),
      fileName_(SafeFileName(recommendation_->FileName())),
      gainDb_(ParseGain(*recommendation_)),
      location_(std::move(location)),
      playlist_(playlist) {
    status_.status = ItemStatus::Downloading;
    status_.statusText = "Initializing Download";
    retriever_ = std::make_unique<HttpFileRetriever>(this, location_ + fileName_, recommendation_->MediaUrl(),
                                                     preferences);
    if (!recommendation_->Detail("Art").empty()) {
        art_ = std::make_unique<ArtRetriever>(preferences);
    }
}

VornPlaylistItem::VornPlaylistItem(std::unique_ptr<Recommendation> recommendation, std::string location,
                                   std::int32_t lastPlayed, std::int32_t rating)
    : recommendation_(std::move(recommendation)),
      fileName_(SafeFileName(recommendation_->FileName())),
      gainDb_(ParseGain(*recommendation_)),
      location_(std::move(location)),
      playlist_(nullptr),
      lastPlayed_(lastPlayed),
      rating_(rating) {
    status_.status = ItemStatus::Downloaded;
    status_.statusText = "Downloaded";
}

VornPlaylistItem::~VornPlaylistItem() {
    if (art_) {
        art_->Abort();  // a picture on its way must not hold the download's thread
    }
    if (!retriever_) {
        return;
    }
    // Stopped (joined) whatever the item's status: a download that has just
    // finished may still be on its way through its report to the playlist, which
    // must be over before this item goes. The transfer is complete then, so
    // nothing is cancelled.
    if (!retriever_->IsWorkerThread()) {
        retriever_->Stop();
    }
    if (!retriever_->IsFinished() && playlist_ != nullptr) {
        playlist_->Bury(std::move(retriever_));
    }
}

void VornPlaylistItem::StartDownload() {
    if (retriever_) {
        retriever_->Start();  // may delete this item before it returns
    }
}

std::unique_ptr<HttpFileRetriever> VornPlaylistItem::TakeRetriever() { return std::move(retriever_); }

std::int32_t VornPlaylistItem::ItemId() const { return recommendation_->ItemId(); }

std::string VornPlaylistItem::Location() const {
    std::lock_guard lock(mutex_);
    return location_;
}

std::string VornPlaylistItem::FullPath() const {
    std::lock_guard lock(mutex_);
    return location_ + fileName_;
}

void VornPlaylistItem::SetLocation(const std::string& folder) {
    std::lock_guard lock(mutex_);
    location_ = folder;
}

void VornPlaylistItem::SetLastPlayed(std::int32_t when) {
    lastPlayed_ = when != 0 ? when : static_cast<std::int32_t>(std::time(nullptr));
}

ItemStatusRecord VornPlaylistItem::StatusRecord() const {
    std::lock_guard lock(mutex_);
    return status_;
}

std::string VornPlaylistItem::DisplayName() const {
    std::string artist;
    std::string title;
    for (const auto& [name, value] : recommendation_->Details()) {
        if (name == "Artist") artist = value;
        if (name == "Title") title = value;
    }
    if (title.empty()) {
        title = fileName_;
    }
    return artist.empty() ? title : artist + " - " + title;
}

std::string VornPlaylistItem::SourceUrl() const { return recommendation_->SourceUrl().Url(); }

std::string VornPlaylistItem::ArtStem() const {
    constexpr std::string_view kMp3 = ".mp3";
    return fileName_.ends_with(kMp3) ? fileName_.substr(0, fileName_.size() - kMp3.size()) : fileName_;
}

std::vector<std::string> VornPlaylistItem::ArtFileNames() const {
    const std::string stem = ArtStem();
    return {stem + ".jpg", stem + ".png"};
}

std::string VornPlaylistItem::ArtPath() const {
    const std::string folder = Location();
    for (const std::string& name : ArtFileNames()) {
        std::error_code error;
        if (std::filesystem::is_regular_file(folder + name, error)) {
            return folder + name;
        }
    }
    return std::string();
}

void VornPlaylistItem::FetchArt() {
    if (!art_ || !ArtPath().empty()) {
        return;
    }
    art_->Fetch(UrlParts(recommendation_->Detail("Art")), Location(), ArtStem());
}

XmlElement VornPlaylistItem::ToXml() const {
    XmlElement element(
        "<vornplaylistitem><filename></filename><location></location><lastplayed></lastplayed>"
        "<rating></rating><recommendation></recommendation></vornplaylistitem>");
    element.SetChild("filename", fileName_);
    element.SetChild("location", Location());
    element.SetChildInt("lastplayed", lastPlayed_);
    element.SetChildInt("rating", rating_);
    element.SetChild("recommendation", recommendation_->ToXml());
    return element;
}

std::unique_ptr<VornPlaylistItem> VornPlaylistItem::FromXml(XmlElement element) {
    std::unique_ptr<Recommendation> recommendation = Recommendation::FromXml(element.Child("recommendation"));
    if (!recommendation) {
        return nullptr;
    }
    const std::int32_t rating = element.ChildInt("rating");
    const std::int32_t lastPlayed = element.ChildInt("lastplayed");
    const std::string location = element.Child("location").Text();
    return std::make_unique<VornPlaylistItem>(std::move(recommendation), location, lastPlayed, rating);
}

void VornPlaylistItem::OnFileRetrieved(std::int32_t /*totalBytes*/, float rateKBps) {
    VORN_LOG(LogLevel::Fine) << "FINE : VornPlaylistItem : Retrieved " << FullPath() << " itemID=" << ItemId();
    FetchArt();
    {
        std::lock_guard lock(mutex_);
        status_.status = ItemStatus::Downloaded;
        status_.statusText = "File Downloaded";
        status_.percentComplete = 100.0f;
        status_.rateKBps = rateKBps;
    }
    if (playlist_ != nullptr) {
        playlist_->OnItemFinished(this);
    }
}

void VornPlaylistItem::OnRetrievalError(std::int32_t code) {
    VORN_LOG(LogLevel::Warning) << "VornPlaylistItem : Error downloading itemID " << ItemId();
    {
        std::lock_guard lock(mutex_);
        status_.status = ItemStatus::DownloadFailed;
        status_.statusText = "Download Error : " + std::to_string(code);
    }
    if (playlist_ != nullptr) {
        playlist_->OnItemFinished(this);  // deletes this item
    }
}

void VornPlaylistItem::OnRetrievalStatus(float rateKBps, float percent) {
    {
        std::lock_guard lock(mutex_);
        status_.status = ItemStatus::Downloading;
        status_.percentComplete = percent;
        status_.rateKBps = rateKBps;
        status_.statusText = "File Downloading Rate = " + std::to_string(Truncate(rateKBps)) +
                             " Complete = " + std::to_string(Truncate(percent)) + "%";
    }
    if (playlist_ != nullptr) {
        playlist_->OnItemProgress(this, Truncate(percent));
    }
}

}  // namespace vorn
