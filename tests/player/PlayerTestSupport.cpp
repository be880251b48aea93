#include "tests/player/PlayerTestSupport.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>

#include "library/VornPlaylistItem.h"
#include "xml/XmlElement.h"

namespace vorn::test {

TestUiThread::TestUiThread() {
    thread_ = std::thread([this] {
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (queue_.empty()) return;
                work = std::move(queue_.front());
                queue_.pop_front();
            }
            work();
        }
    });
}

TestUiThread::~TestUiThread() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void TestUiThread::Post(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(work));
    }
    wake_.notify_all();
}

bool TestUiThread::Run(const std::function<void()>& work) {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    Post([work, done] {
        work();
        done->set_value();
    });
    return future.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
}

bool TestPlayer::StartPlayback() {
    std::lock_guard lock(mutex_);
    ++starts_;
    return true;
}

bool TestPlayer::PausePlayback() {
    std::lock_guard lock(mutex_);
    ++pauses_;
    return true;
}

bool TestPlayer::SetMedia(VornPlaylistItem* item) {
    std::lock_guard lock(mutex_);
    if (!ui_.IsUiThread()) ++callsOffUiThread;
    if (item == nullptr) {
        loaded_.clear();
        return true;
    }
    const bool ok = std::filesystem::exists(item->FullPath()) && broken_.count(item->FileName()) == 0;
    loaded_ = ok ? item->FullPath() : std::string();
    SetMediaLoaded(ok);
    return ok;
}

bool TestPlayer::SetDisplayText(const std::string& line1, const std::string& line2) {
    std::lock_guard lock(mutex_);
    if (!line1.empty()) texts_.push_back(line1);
    if (!line2.empty()) texts_.push_back(line2);
    return true;
}

bool TestPlayer::AskForRating() {
    std::lock_guard lock(mutex_);
    ++asks_;
    return true;
}

void TestPlayer::OnConnectionChanged(bool online) {
    std::lock_guard lock(mutex_);
    connectionChanges_.push_back(online ? "online" : "offline");
}

std::vector<std::string> TestPlayer::ConnectionChanges() {
    std::lock_guard lock(mutex_);
    return connectionChanges_;
}

void TestPlayer::Break(const std::string& fileName) {
    std::lock_guard lock(mutex_);
    broken_.insert(fileName);
}

std::vector<std::string> TestPlayer::Texts() {
    std::lock_guard lock(mutex_);
    return texts_;
}

bool TestPlayer::ShowedText(const std::string& text) {
    std::lock_guard lock(mutex_);
    return std::find(texts_.begin(), texts_.end(), text) != texts_.end();
}

int TestPlayer::Starts() {
    std::lock_guard lock(mutex_);
    return starts_;
}

int TestPlayer::Pauses() {
    std::lock_guard lock(mutex_);
    return pauses_;
}

int TestPlayer::Asks() {
    std::lock_guard lock(mutex_);
    return asks_;
}

std::string TestPlayer::LoadedFile() {
    std::lock_guard lock(mutex_);
    return loaded_;
}

bool TestPlayer::WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        bool holds = false;
        if (!ui_.Run([&] { holds = condition(); })) return false;
        if (holds) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

PlayerStation::PlayerStation() {
    peer.SetAnswer([this](const std::string& xml) { return Answer(xml); });
}

void PlayerStation::Offer(std::vector<std::int32_t> ids) {
    std::lock_guard lock(mutex_);
    offered_.insert(offered_.end(), ids.begin(), ids.end());
}

void PlayerStation::FailDownloadsOf(std::int32_t id) {
    std::lock_guard lock(mutex_);
    failing_.insert(id);
}

void PlayerStation::SetExtra(std::int32_t extra) {
    std::lock_guard lock(mutex_);
    extra_ = extra;
}

void PlayerStation::AddDetail(std::string name, std::function<std::string(std::int32_t id)> value) {
    std::lock_guard lock(mutex_);
    details_.emplace_back(std::move(name), std::move(value));
}

void PlayerStation::RefuseRecommendations(int count) {
    std::lock_guard lock(mutex_);
    refusals_ = count;
}

std::map<std::int32_t, std::int32_t> PlayerStation::Ratings() {
    std::lock_guard lock(mutex_);
    return ratings_;
}

std::vector<std::int32_t> PlayerStation::RequestedCounts() {
    std::lock_guard lock(mutex_);
    return counts_;
}

int PlayerStation::Registrations() {
    std::lock_guard lock(mutex_);
    return registrations_;
}

std::string PlayerStation::Answer(const std::string& text) {
    XmlElement request(text);
    const std::string type = request.Child("type").Text();
    std::lock_guard lock(mutex_);
    if (type == "NewUserRequest") {
        ++registrations_;
        return "<type>NewUserRequestResponse</type><userid>42</userid>";
    }
    if (type == "RatingsRequest") {
        XmlElement ratings = request.Child("ratings");
        for (XmlElement r = ratings.NextChild("rating"); !r.IsEmpty(); r = ratings.NextChild("rating")) {
            ratings_[r.ChildInt("itemid")] = r.ChildInt("value");
        }
        return "";
    }
    if (type == "RecommendationsRequest") {
        const std::int32_t count = request.ChildInt("count");
        counts_.push_back(count);
        if (refusals_ > 0) {
            --refusals_;
            return "<type>SomethingElse</type>";
        }
        std::string reply = "<type>RecommendationsRequestResponse</type>";
        for (std::int32_t i = 0; i < count + extra_; ++i) {
            std::int32_t id = nextId_++;
            if (!offered_.empty()) {
                id = offered_.front();
                offered_.pop_front();
            }
            const std::string path = failing_.count(id) ? "/missing/" : "/media/";
            reply += "<recommendation><itemid>" + std::to_string(id) + "</itemid><typeid>0</typeid><details>";
            std::vector<std::pair<std::string, std::string>> details = {
                {"url", media.Url(path + std::to_string(id) + ".mp3")},
                {"Source", media.Url("/item/" + std::to_string(id))},
                {"Filename", "track" + std::to_string(id) + ".mp3"},
                {"Artist", "Artist " + std::to_string(id)},
                {"Title", "Title " + std::to_string(id)}};
            for (const auto& [name, value] : details_) {
                const auto same = std::find_if(details.begin(), details.end(),
                                               [&name](const auto& detail) { return detail.first == name; });
                if (same != details.end()) {
                    same->second = value(id);
                } else {
                    details.emplace_back(name, value(id));
                }
            }
            for (const auto& [name, value] : details) {
                reply += "<detail><name>" + name + "</name><value>" + value + "</value></detail>";
            }
            reply += "</details></recommendation>";
        }
        return reply;
    }
    return "";
}

}  // namespace vorn::test
