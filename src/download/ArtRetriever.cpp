#include "download/ArtRetriever.h"

#include <filesystem>
#include <ostream>
#include <sstream>

#include "download/FileSink.h"
#include "download/MediaResponse.h"
#include "foundation/LogEntry.h"

namespace vorn {
namespace {

constexpr std::string_view kJpegStart("\xFF\xD8\xFF", 3);
constexpr std::string_view kPngStart("\x89PNG\r\n\x1A\n", 8);

}  // namespace

ArtRetriever::ArtRetriever(const Preferences* preferences) : connection_("", 0, preferences) {
    connection_.SetTimeouts({kStepLimitMs, kStepLimitMs, kStepLimitMs, kStepLimitMs});
}

void ArtRetriever::Abort() {
    aborted_ = true;
    connection_.Abort();
}

std::string ArtRetriever::PictureExtension(std::string_view body) {
    if (body.starts_with(kJpegStart)) return ".jpg";
    if (body.starts_with(kPngStart)) return ".png";
    return std::string();
}

std::int32_t ArtRetriever::Fetch(const UrlParts& url, const std::string& folder, const std::string& stem) {
    const auto fail = [&](std::int32_t code, const std::string& why) {
        VORN_LOG(LogLevel::Warning) << "ArtRetriever : No picture from " << url.Url() << " : " << why;
        return code;
    };
    if (url.Scheme() != "http" || !url.HasValidPort() || url.Host().empty()) {
        return fail(kNotAnMp3, "not an http URL");
    }
    std::string body;
    if (const std::int32_t code = Receive(url, body); code != kRetrieved) {
        return aborted_ ? kCancelled
                        : fail(code, code == kUnusableResponse ? "unusable answer" : "no answer");
    }
    const std::string extension = PictureExtension(body);
    if (extension.empty()) {
        return fail(kNotAnMp3, "neither a JPEG nor a PNG picture");
    }
    const std::string path = folder + stem + extension;
    const std::string part = folder + HttpFileRetriever::PartName(path);
    FileSink sink(body.size() + 1);
    bool written = sink.Open(part);
    if (written) {
        std::ostream file(&sink);
        file.write(body.data(), static_cast<std::streamsize>(body.size()));
        file.flush();
        written = sink.Close() && file.good();
    }
    std::error_code error;
    if (!written || (std::filesystem::rename(part, path, error), error)) {
        std::filesystem::remove(part, error);
        return fail(kReceiveFailed, "cannot write " + path);
    }
    return kRetrieved;
}

std::int32_t ArtRetriever::Receive(const UrlParts& url, std::string& body) {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    connection_.SetServer(url.Host(), url.Port());
    std::string head;
    if (const int sent = connection_.Get(url.Path(), true); sent != kHttpOk) {
        connection_.Disconnect();
        return sent;
    }
    if (connection_.ReceiveHead(head) != kHttpOk) {
        connection_.Disconnect();
        return kReceiveFailed;
    }
    const MediaResponse response = MediaResponse::Check(head, false, url.Url());
    if (response.kind != MediaResponse::Kind::Body || response.contentLength > kMaxBytes) {
        connection_.Disconnect();
        return kUnusableResponse;
    }
    std::ostringstream received;
    for (std::int64_t left = response.contentLength; left > 0;) {
        const auto block = static_cast<std::int32_t>(std::min<std::int64_t>(left, kBlockSize));
        if (aborted_ || std::chrono::steady_clock::now() > deadline ||
            connection_.ReceiveBytes(block, received) != kHttpOk) {
            connection_.Disconnect();
            return kReceiveFailed;
        }
        left -= block;
    }
    connection_.Disconnect();
    body = std::move(received).str();
    return kRetrieved;
}

}  // namespace vorn
