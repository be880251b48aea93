#include "download/HttpFileRetriever.h"

#include "download/FileSink.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "foundation/LogEntry.h"
#include "platform/Decimal.h"
#include "platform/TickCount.h"
#include "server/HttpComms.h"

namespace vorn {
namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Position of a header name in the head, whatever its letter case.
std::size_t FindHeader(const std::string& head, const std::string& name) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    for (std::size_t at = 0; at + name.size() <= head.size(); ++at) {
        std::size_t i = 0;
        while (i < name.size() && lower(head[at + i]) == lower(name[i])) ++i;
        if (i == name.size()) return at;
    }
    return std::string::npos;
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

}  // namespace

HttpFileRetriever::HttpFileRetriever(FileRetrieverListener* listener, std::string localPath, UrlParts url,
                                     const Preferences* preferences)
    : listener_(listener != nullptr ? listener : this),
      localPath_(std::move(localPath)),
      partPath_(localPath_ + ".part"),
      url_(std::move(url)),
      preferences_(preferences) {}

HttpFileRetriever::~HttpFileRetriever() {
    if (worker_.joinable()) {
        worker_.join();
    }
}

bool HttpFileRetriever::IsWorkerThread() const { return worker_.get_id() == std::this_thread::get_id(); }

void HttpFileRetriever::Start() {
    if (url_.Scheme() != "http") {
        listener_->OnRetrievalError(kNotAnMp3);
        finished_ = true;
        return;
    }
    connection_ = std::make_unique<HttpComms>(url_.Host(), url_.Port(), preferences_);
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

    if (Contains(head, "302 Found")) {
        const std::size_t a = FindHeader(head, "Location:");
        if (a == std::string::npos) {
            VORN_LOG(LogLevel::Info) << "HTTPFileRetriever : No location in redirect header : file=" << url_.Url();
            return Fail(kUnusableResponse);
        }
        const std::size_t e = head.find('\n', a);
        if (e == std::string::npos) {
            VORN_LOG(LogLevel::Info) << "HTTPFileRetriever : Error in location in redirect header : file=" << url_.Url();
            return Fail(kUnusableResponse);
        }
        std::string location = head.substr(a + 9, e - (a + 9));
        location.erase(0, location.find_first_not_of(" \t"));
        while (!location.empty() && (location.back() == '\r' || location.back() == ' ')) location.pop_back();
        if (location.empty()) {
            VORN_LOG(LogLevel::Info) << "HTTPFileRetriever : Error getting new location in redirect header : file="
                                     << url_.Url();
            return Fail(kUnusableResponse);
        }
        const UrlParts target(location);
        if (const std::int32_t r = FollowRedirect(target, http11, head); r != kRetrieved) {
            return r;
        }
        if (!Contains(head, "200 OK")) {
            connection_->Disconnect();
            if (const std::int32_t r = FollowRedirect(target, !http11, head); r != kRetrieved) {
                return r;
            }
        }
    }

    if (!Contains(head, "200 OK")) {
        VORN_LOG(LogLevel::Info) << "HTTPFileRetriever : Error invalid http response : header=\n" << head;
        return Fail(kUnusableResponse);
    }
    const std::size_t c = FindHeader(head, "Content-Length:");
    if (c == std::string::npos) {
        VORN_LOG(LogLevel::Info) << "HTTPFileRetriever : Error no Content-Length header : header=\n" << head;
        return Fail(kUnusableResponse);
    }
    const std::size_t e = head.find('\n', c);
    // The value is read after the colon; leading blanks are skipped by the conversion.
    const std::int32_t total = e == std::string::npos ? -1 : ParseDecimalPrefix(head.substr(c + 15, e - (c + 15)));
    if (total < 0) {
        VORN_LOG(LogLevel::Info) << "HTTPFileRetriever : Error in Content-Length header : header=\n" << head;
        return Fail(kUnusableResponse);
    }
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
