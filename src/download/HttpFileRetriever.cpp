#include "download/HttpFileRetriever.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <ostream>

#include "download/FileSink.h"
#include "download/MediaResponse.h"
#include "foundation/LogEntry.h"
#include "foundation/RegistryKey.h"
#include "platform/TickCount.h"

namespace vorn {
namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// Milliseconds since start as seconds, never zero, so rates stay finite.
float SecondsSince(std::uint32_t startTicks) {
    const std::uint32_t elapsed = GetTickCount() - startTicks;
    return static_cast<float>(elapsed == 0 ? 1 : elapsed) * 0.001f;
}

void DeleteFile(const std::string& path) {
    std::error_code error;
    if (std::filesystem::exists(path, error) && !std::filesystem::remove(path, error)) {
        VORN_LOG(LogLevel::Warning) << "HttpFileRetriever : Failed to delete file " << path;
    }
}

// Every part name of this process differs: the counter never repeats.
std::atomic<std::uint64_t> partCounter{0};

std::uint64_t Mix(std::uint64_t x) {  // splitmix64's finaliser
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

}  // namespace

std::string HttpFileRetriever::PartName(const std::string& localPath) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a of the path
    for (unsigned char c : localPath) {
        hash = (hash ^ c) * 0x100000001b3ULL;
    }
    hash = Mix(hash ^ Mix((static_cast<std::uint64_t>(::getpid()) << 32) ^ partCounter.fetch_add(1)));
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
    return std::string(".vorn-") + digits + ".part";
}

std::int64_t HttpFileRetriever::ConfiguredMaxBytes() {
    std::int64_t limit = kDefaultMaxBytes;
    RegistryKey key;
    if (key.Open(kVornKeyPath)) {
        if (RegistryValue& value = key.Value("MaxDownloadBytes"); value.Exists()) {
            const std::string text = value.AsText();  // a DWORD reads as its decimal text
            std::int64_t parsed = 0;
            bool digits = !text.empty();
            for (char c : text) {
                if (c < '0' || c > '9') {
                    digits = false;
                    break;
                }
                parsed = std::min<std::int64_t>(parsed * 10 + (c - '0'), std::numeric_limits<std::int32_t>::max());
            }
            if (digits && parsed > 0) {
                limit = parsed;
            }
        }
    }
    return std::min<std::int64_t>(limit, std::numeric_limits<std::int32_t>::max());
}

HttpFileRetriever::HttpFileRetriever(FileRetrieverListener* listener, std::string localPath, UrlParts url,
                                     const Preferences* preferences)
    : listener_(listener != nullptr ? listener : this),
      localPath_(std::move(localPath)),
      partPath_((std::filesystem::path(localPath_).parent_path() / PartName(localPath_)).string()),
      url_(std::move(url)),
      preferences_(preferences) {}

HttpFileRetriever::~HttpFileRetriever() {
    if (worker_.joinable()) {
        worker_.join();
    }
}

bool HttpFileRetriever::IsWorkerThread() const { return worker_.get_id() == std::this_thread::get_id(); }

void HttpFileRetriever::SetLimits(std::int64_t maxBytes, std::uint64_t minFreeBytes) {
    maxBytes_ = maxBytes;
    minFreeBytes_ = minFreeBytes;
}

void HttpFileRetriever::SetTimeouts(const HttpComms::Timeouts& timeouts) { timeouts_ = timeouts; }

void HttpFileRetriever::Start() {
    if (url_.Scheme() != "http" || !url_.HasValidPort()) {
        if (!url_.HasValidPort()) {
            VORN_LOG(LogLevel::Warning) << "HTTPFileRetriever : Bad port in URL : file=" << url_.Url();
        }
        listener_->OnRetrievalError(kNotAnMp3);
        finished_ = true;
        return;
    }
    connection_ = std::make_unique<HttpComms>(url_.Host(), url_.Port(), preferences_);
    connection_->SetTimeouts(timeouts_);
    worker_ = std::thread([this] { Run(); });
}

void HttpFileRetriever::Stop() {
    cancelRequested_ = true;
    if (connection_) {
        connection_->Abort();
    }
    if (worker_.joinable() && !IsWorkerThread()) {
        worker_.join();
    }
}

void HttpFileRetriever::Run() {
    struct Step {
        bool http11;
        Route route;
        const char* failedBefore;  // logged when the step before it failed
    };
    static constexpr Step kSteps[] = {
        {true, Route::ViaCdn, nullptr},
        {false, Route::ViaCdn, "Failed to get file using HTTP1.1 with Coral trying HTTP1.0 with Coral : "},
        {true, Route::Direct, "Failed to get file using HTTP1.1 and HTTP1.0 with Coral trying HTTP1.1 with no cache : "},
        {false, Route::Direct, "Failed to get file using HTTP1.1 with no cache trying HTTP1.0 with no cache : "},
    };
    if (maxBytes_ < 0) {
        maxBytes_ = ConfiguredMaxBytes();
    }
    std::int32_t result = kRetrieved;
    for (const Step& step : kSteps) {
        if (step.failedBefore != nullptr) {
            if (result == kRetrieved || result == kCancelled || cancelRequested_) {
                break;
            }
            VORN_LOG(LogLevel::Warning) << step.failedBefore << url_.Url();
        }
        result = Attempt(step.http11, step.route);
    }
    if (result != kRetrieved && result != kCancelled && !cancelRequested_) {
        VORN_LOG(LogLevel::Severe) << "File Download failed " << url_.Url();
        listener_->OnRetrievalError(result);
    }
    // Nothing of the listener may be touched from here on: a failed item is
    // deleted inside its error report.
    finished_ = true;
}

std::int32_t HttpFileRetriever::Fail(std::int32_t result) {
    connection_->Disconnect();
    return result;
}

std::int32_t HttpFileRetriever::FollowRedirect(const UrlParts& target, bool http11, std::string& head) {
    connection_->SetServer(target.Host(), target.Port());
    if (const int sent = connection_->Get(target.Path(), http11); sent != kHttpOk) {
        VORN_LOG(LogLevel::Info) << "HTTPFileRetriever : Failed to send get request to redirect: file=" << target.Url();
        return Fail(sent);
    }
    head.clear();
    if (const int received = connection_->ReceiveHead(head); received != kHttpOk) {
        VORN_LOG(LogLevel::Info) << "HTTPFileRetriever : Failed to receive header from redirect: file=" << target.Url();
        return Fail(received);
    }
    return kRetrieved;
}

std::int32_t HttpFileRetriever::Attempt(bool http11, Route route) {
    if (route == Route::ViaCdn) {
        std::string host = url_.Host();
        if (!EndsWith(host, CDN_HOST_SUFFIX)) {
            if (url_.Port() != 80) {
                host += ":" + std::to_string(url_.Port());
            }
            connection_->SetServer(host + CDN_HOST_SUFFIX, kCdnPort);
        }
    } else {
        connection_->SetServer(url_.Host(), url_.Port());
    }
    const std::uint32_t start = GetTickCount();

    if (const int sent = connection_->Get(url_.Path(), http11); sent != kHttpOk) {
        VORN_LOG(LogLevel::Info) << "HTTPFileRetriever : Failed to send get request : file=" << url_.Url();
        return Fail(sent);
    }
    std::string head;
    if (const int received = connection_->ReceiveHead(head); received != kHttpOk) {
        VORN_LOG(LogLevel::Info) << "HTTPFileRetriever : Failed to receive headers : file=" << url_.Url();
        return Fail(received);
    }

    MediaResponse response = MediaResponse::Check(head, true, url_.Url());
    if (response.kind == MediaResponse::Kind::Redirect) {
        const UrlParts target(response.location);
        if (!target.HasValidPort()) {
            VORN_LOG(LogLevel::Info) << "HTTPFileRetriever : Bad port in redirect location : file=" << target.Url();
            return Fail(kUnusableResponse);
        }
        if (const std::int32_t r = FollowRedirect(target, http11, head); r != kRetrieved) {
            return r;
        }
        if (!Contains(head, "200 OK")) {
            connection_->Disconnect();
            if (const std::int32_t r = FollowRedirect(target, !http11, head); r != kRetrieved) {
                return r;
            }
        }
        response = MediaResponse::Check(head, false, url_.Url());
    }
    if (response.kind != MediaResponse::Kind::Body) {
        VORN_LOG(LogLevel::Info) << response.problem;
        return Fail(kUnusableResponse);
    }
    if (response.contentLength > maxBytes_) {
        VORN_LOG(LogLevel::Warning) << "HTTPFileRetriever : Content-Length " << response.contentLength
                                    << " above the limit of " << maxBytes_ << " bytes : file=" << url_.Url();
        return Fail(kUnusableResponse);
    }
    const auto total = static_cast<std::int32_t>(response.contentLength);  // the limit fits 32 bits
    if (!EndsWith(localPath_, ".mp3")) {
        VORN_LOG(LogLevel::Info) << "HTTPFileRetriever : Error, file is not an mp3: filename=" << localPath_;
        return Fail(kNotAnMp3);
    }
    if (std::ifstream existing(localPath_, std::ios::binary); existing.is_open()) {
        VORN_LOG(LogLevel::Warning) << "File already exists " << localPath_;
        listener_->OnFileRetrieved(total, 0.0f);
        return Fail(kRetrieved);
    }
    return Receive(total, start);
}

std::int32_t HttpFileRetriever::Receive(std::int32_t total, std::uint32_t startTicks) {
    // The folder may have been removed by hand while the program runs.
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(partPath_).parent_path(), ignored);
    if (!HasRoomFor(total)) {
        return Fail(kUnusableResponse);
    }
    // The sink's large buffer turns the 1024-byte blocks into few large writes.
    FileSink sink;
    std::ostream file(&sink);
    if (!sink.Open(partPath_)) {
        VORN_LOG(LogLevel::Warning) << "HttpFileRetriever : Failed to create file " << partPath_;
        return Fail(kReceiveFailed);
    }
    listener_->OnRetrievalStatus(0.0f, 0.0f);

    const auto cancelExit = [&] {
        sink.Close();
        DeleteFile(partPath_);
        VORN_LOG(LogLevel::Fine) << "FINE : Get file thread ended";
        return Fail(kCancelled);
    };
    const auto errorExit = [&](std::int32_t result) {
        if (cancelRequested_) {
            return cancelExit();
        }
        VORN_LOG(LogLevel::Warning) << "HttpFileRetriever : Error receiving bytes ";
        sink.Close();
        DeleteFile(partPath_);
        return Fail(result);
    };
    if (cancelRequested_) {
        return cancelExit();
    }

    std::int32_t received = 0;
    std::int32_t remaining = total;
    while (remaining > kBlockSize) {
        if (const int r = connection_->ReceiveBytes(kBlockSize, file); r != kHttpOk) {
            return errorExit(r);
        }
        received += kBlockSize;
        remaining -= kBlockSize;
        if (cancelRequested_) {
            return cancelExit();
        }
        const float percent = static_cast<float>(received) / static_cast<float>(total) * 100.0f;
        const float rate = (static_cast<float>(received) / 1024.0f) / SecondsSince(startTicks);
        listener_->OnRetrievalStatus(rate, percent);
    }
    if (const int r = connection_->ReceiveBytes(remaining, file); r != kHttpOk) {
        return errorExit(r);
    }
    file.flush();
    const bool stored = sink.Close() && file.good();
    std::error_code renameError;
    if (!stored || (std::filesystem::rename(partPath_, localPath_, renameError), renameError)) {
        VORN_LOG(LogLevel::Warning) << "HttpFileRetriever : Failed to store file " << localPath_;
        return errorExit(kReceiveFailed);
    }
    connection_->Disconnect();
    const float rate = (static_cast<float>(total) / 1024.0f) / SecondsSince(startTicks);
    listener_->OnFileRetrieved(total, rate);
    return kRetrieved;
}

bool HttpFileRetriever::HasRoomFor(std::int64_t total) const {
    const std::string folder = std::filesystem::path(partPath_).parent_path().string();
    struct statvfs space {};
    if (::statvfs(folder.empty() ? "." : folder.c_str(), &space) != 0) {
        return true;  // unknown: the write itself will tell
    }
    const std::uint64_t free = static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
    const std::uint64_t needed = static_cast<std::uint64_t>(total);
    if (free >= needed && free - needed >= minFreeBytes_) {
        return true;
    }
    VORN_LOG(LogLevel::Warning) << "HTTPFileRetriever : Not enough free space for " << needed << " bytes : "
                                << free << " bytes free, " << minFreeBytes_ << " must stay free : file=" << localPath_;
    return false;
}

void HttpFileRetriever::OnFileRetrieved(std::int32_t /*totalBytes*/, float rateKBps) {
    VORN_LOG(LogLevel::Info) << "File Retrieved Path = " << localPath_ << " rate = " << rateKBps;
}

void HttpFileRetriever::OnRetrievalError(std::int32_t code) {
    VORN_LOG(LogLevel::Severe) << "HTTP file retrieval error : " << code;
}

void HttpFileRetriever::OnRetrievalStatus(float rateKBps, float percent) {
    VORN_LOG(LogLevel::Info) << "HTTP file retrieval status :rate=" << rateKBps << " " << percent << "% complete";
}

}  // namespace vorn
