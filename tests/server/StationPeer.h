#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "station/protocol/ProtocolCore.h"
#include "tests/support/LoopbackServer.h"

namespace vorn::test {

// A real station on 127.0.0.1 for the client engine's tests: the station's
// protocol core behind a loopback socket, holding the RSA key of the token
// vectors. It answers the key and version exchange, decrypts every request token
// and hands the XML to the test's answer function, whose reply goes back as a
// reply token. Every request head, every request XML and every protocol error is
// recorded; after answering, the peer waits for the client to close. A peer made
// with `acknowledgesRatings` announces that in its key exchange, as the real
// station does; the answer function then acknowledges ratings itself.
class StationPeer : private station::RequestHandler {
public:
    using Answer = std::function<std::string(const std::string& requestXml)>;

    explicit StationPeer(station::BuildInfo builds = {}, bool acknowledgesRatings = false);
    ~StationPeer() override;

    std::uint16_t Port() const { return server_->Port(); }
    int Accepted() const { return server_->Accepted(); }
    // Stop: connections are refused, as by a station that is not running.
    // Restart: served again on the same port.
    void Stop() { server_->Stop(); }
    void Restart();

    // Reply XML for each decrypted request (empty: send nothing back).
    void SetAnswer(Answer answer);
    // Answers "GET /" with this XML instead of the core's own reply.
    void SetKeyExchangeReply(std::string xml);
    // Sends these bytes instead of the core's answer to requests.
    void SetRawResponse(std::string bytes);
    // Accepts connections but answers nothing until the client goes.
    void SetSilent(bool silent);
    // Resets every request's connection instead of answering, as a station
    // does with a request it could not carry out (the key exchange is answered).
    void SetResetting(bool resetting);

    const std::string& PublicKeyBase64() const { return key_.PublicKeyBase64(); }
    std::vector<std::string> Heads();
    std::vector<std::string> Requests();
    std::vector<std::string> Errors();
    // Connections the client left open for more than a second after the answer.
    int LingeringConnections();

private:
    station::HandlerResult HandleRequest(const std::string& requestXml) override;
    bool AcknowledgesRatings() const override { return acknowledgesRatings_; }
    void Serve(LoopbackServer::Connection& connection);

    station::StationKey key_;
    const bool acknowledgesRatings_;
    station::ProtocolCore core_;
    std::mutex mutex_;  // guards every field below
    Answer answer_;
    std::string keyExchangeReply_;
    std::string rawResponse_;
    bool silent_ = false;
    bool resetting_ = false;
    std::vector<std::string> heads_;
    std::vector<std::string> requests_;
    std::vector<std::string> errors_;
    int lingering_ = 0;
    std::unique_ptr<LoopbackServer> server_;  // last, so it stops before the rest goes
};

}  // namespace vorn::test
