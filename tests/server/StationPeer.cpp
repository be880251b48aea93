#include "tests/server/StationPeer.h"

#include <sys/socket.h>

#include <chrono>
#include <stdexcept>

#include "tests/server/TokenVectors.h"

namespace vorn::test {
namespace {

station::StationKey VectorKey() {
    std::string error;
    auto key = station::StationKey::FromPem(vectors::kPrivateKeyPem, &error);
    if (!key) {
        throw std::runtime_error("station peer key: " + error);
    }
    return *key;
}

}  // namespace

StationPeer::StationPeer(station::BuildInfo builds, bool acknowledgesRatings)
    : key_(VectorKey()),
      acknowledgesRatings_(acknowledgesRatings),
      core_(key_, *this, builds),
      server_(std::make_unique<LoopbackServer>([this](LoopbackServer::Connection& c) { Serve(c); })) {}

StationPeer::~StationPeer() { server_->Stop(); }

void StationPeer::Restart() {
    const std::uint16_t port = server_->Port();
    server_->Stop();
    server_ = std::make_unique<LoopbackServer>([this](LoopbackServer::Connection& c) { Serve(c); }, false, port);
}

void StationPeer::SetAnswer(Answer answer) {
    std::lock_guard lock(mutex_);
    answer_ = std::move(answer);
}

void StationPeer::SetKeyExchangeReply(std::string xml) {
    std::lock_guard lock(mutex_);
    keyExchangeReply_ = std::move(xml);
}

void StationPeer::SetRawResponse(std::string bytes) {
    std::lock_guard lock(mutex_);
    rawResponse_ = std::move(bytes);
}

void StationPeer::SetSilent(bool silent) {
    std::lock_guard lock(mutex_);
    silent_ = silent;
}

void StationPeer::SetResetting(bool resetting) {
    std::lock_guard lock(mutex_);
    resetting_ = resetting;
}

std::vector<std::string> StationPeer::Heads() {
    std::lock_guard lock(mutex_);
    return heads_;
}

std::vector<std::string> StationPeer::Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<std::string> StationPeer::Errors() {
    std::lock_guard lock(mutex_);
    return errors_;
}

int StationPeer::LingeringConnections() {
    std::lock_guard lock(mutex_);
    return lingering_;
}

station::HandlerResult StationPeer::HandleRequest(const std::string& requestXml) {
    Answer answer;
    bool resetting = false;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(requestXml);
        answer = answer_;
        resetting = resetting_;
    }
    const std::string reply = answer ? answer(requestXml) : std::string();
    if (resetting) {
        return station::HandlerResult::Reset();
    }
    return reply.empty() ? station::HandlerResult::Nothing() : station::HandlerResult::Reply(reply);
}

void StationPeer::Serve(LoopbackServer::Connection& connection) {
    const std::string head = connection.ReadUntil("\r\n\r\n");
    std::string keyExchangeReply;
    std::string rawResponse;
    bool silent = false;
    {
        std::lock_guard lock(mutex_);
        heads_.push_back(head);
        keyExchangeReply = keyExchangeReply_;
        rawResponse = rawResponse_;
        silent = silent_;
    }
    if (silent) {
        connection.ReadAll(10000);
        return;
    }

    std::string target;
    std::string response;
    std::string error;
    station::ProtocolOutcome outcome = station::ProtocolOutcome::Answer;
    if (!station::ProtocolCore::ParseRequestTarget(head, target)) {
        error = "not a GET request: " + head;
    } else if (target == "/" && !keyExchangeReply.empty()) {
        response = keyExchangeReply + "\r\n\r\n";
    } else if (outcome = core_.Respond(target, response, error); outcome == station::ProtocolOutcome::Unusable) {
        error = "protocol error: " + error;
    } else if (target != "/" && !rawResponse.empty()) {
        response = rawResponse;
    }
    if (!error.empty()) {
        std::lock_guard lock(mutex_);
        errors_.push_back(error);
        return;
    }
    if (outcome == station::ProtocolOutcome::Reset) {
        const linger reset{1, 0};
        ::setsockopt(connection.Fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        connection.Close();  // the client sees the reset
        return;
    }
    if (response.empty()) {
        ::shutdown(connection.Fd(), SHUT_WR);  // nothing to say: the client sees the end at once
    } else {
        connection.Write(response);
    }

    // The client closes every connection once it has what it needs.
    const auto start = std::chrono::steady_clock::now();
    connection.ReadAll(3000);
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(1)) {
        std::lock_guard lock(mutex_);
        ++lingering_;
    }
}

}  // namespace vorn::test
