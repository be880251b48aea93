#pragma once

#include <functional>
#include <string>
#include <thread>

namespace vorn::station {

class MetricsRegistry;

// The operator's port, for tools on the station's own machine or network:
//   GET /metrics  every metric of the registry, Prometheus text format
//   GET /healthz  "200 OK" with "ok", or "503 Service Unavailable" with the
//                 reason on one line, as the health check says
// HEAD works too; any other path is 404 and any other method 405. Each
// connection carries one request and is closed after its answer. The port is
// served one connection at a time on a thread of its own, so nothing it does
// takes a turn from the listeners' requests; a client that sends no request,
// or takes no answer, within two seconds is dropped.
class AdminServer {
public:
    // True when the station can serve; `why` says what is wrong otherwise.
    // Called on the admin thread for every /healthz request.
    using HealthCheck = std::function<bool(std::string& why)>;

    // The registry must outlive the server.
    AdminServer(MetricsRegistry& registry, HealthCheck health);
    ~AdminServer();  // stops
    AdminServer(const AdminServer&) = delete;
    AdminServer& operator=(const AdminServer&) = delete;

    // Opens the listening socket (port 0: any free port); false with `error`
    // set when it cannot be opened.
    bool Bind(const std::string& address, int port, std::string& error);
    int Port() const { return port_; }
    void Start();
    // Stops serving and joins the thread. Idempotent.
    void Stop();

private:
    void Run();
    void Serve(int connection);
    std::string Answer(const std::string& request);

    MetricsRegistry& registry_;
    const HealthCheck health_;
    int listener_ = -1;
    int stopRead_ = -1;  // the thread wakes when the other end of this pipe closes
    int stopWrite_ = -1;
    int port_ = 0;
    bool healthy_ = true;  // as last reported, so that only changes are logged (admin thread only)
    std::thread thread_;
};

}  // namespace vorn::station
