#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "station/base/MetricsRegistry.h"

namespace vorn::station {

// What a request asked for, as the station's metrics tell requests apart.
enum class RequestKind : std::uint8_t {
    KeyExchange,
    Registration,
    Recommendations,
    Ratings,
    Other,  // a protocol request that could not be read or named nothing known
    Media,  // a file of the media host or the mirror
    Pages,  // any other answer of the media host or the mirror
};
inline constexpr std::size_t kRequestKinds = 7;

// What came of a protocol request: a reply, an answer without one (a request
// the station could not use), a reset (not carried out, so the client tries
// again), or a connection closed on something that was no request at all.
enum class ProtocolResult : std::uint8_t { Ok, Empty, Reset, Unusable };
inline constexpr std::size_t kProtocolResults = 4;

// Why a connection was refused at once (ConnectionBudget's verdicts).
enum class RefusalReason : std::uint8_t { PortFull, ClientFull, Reserved };

// The request path's metrics, each series resolved once at start-up so that
// counting a request costs a few relaxed atomic adds and nothing else.
// Ports are numbered as StationServer::Port.
class StationMetrics {
public:
    explicit StationMetrics(MetricsRegistry& registry);
    StationMetrics(const StationMetrics&) = delete;
    StationMetrics& operator=(const StationMetrics&) = delete;

    void Protocol(RequestKind kind, ProtocolResult result, std::chrono::nanoseconds took) noexcept;
    // A media host or mirror answer with its HTTP status.
    void Web(RequestKind kind, int status, std::chrono::nanoseconds took) noexcept;
    void Ratings(std::size_t stored, std::size_t invalid, std::size_t notStored) noexcept;
    void Refused(std::size_t port, RefusalReason reason) noexcept;

    // The kind the request being answered on this thread turned out to be,
    // noted by the handler that reads it (a protocol request is encrypted, so
    // only the handler knows), taken by whoever times the request.
    static void Note(RequestKind kind) noexcept;
    static RequestKind TakeNoted() noexcept;

private:
    std::array<std::array<MetricCounter*, kProtocolResults>, kRequestKinds> protocol_{};
    std::array<std::array<MetricCounter*, 4>, kRequestKinds> web_{};  // by status class 2xx to 5xx
    std::array<MetricHistogram*, kRequestKinds> seconds_{};
    MetricCounter* stored_ = nullptr;
    MetricCounter* invalid_ = nullptr;
    MetricCounter* notStored_ = nullptr;
    std::array<std::array<MetricCounter*, 3>, 3> refused_{};  // by port, then reason
};

// The names of the station's ports as the metrics label them, by StationServer::Port.
inline constexpr std::array<const char*, 3> kPortLabels{"protocol", "media", "mirror"};

}  // namespace vorn::station
