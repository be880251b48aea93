#include "station/app/StationMetrics.h"

namespace vorn::station {
namespace {

constexpr std::array<const char*, kRequestKinds> kKindLabels{
    "key_exchange", "registration", "recommendations", "ratings", "other", "media", "pages"};
constexpr std::array<const char*, kProtocolResults> kResultLabels{"ok", "empty", "reset", "unusable"};
constexpr std::array<const char*, 4> kStatusLabels{"2xx", "3xx", "4xx", "5xx"};
constexpr std::array<const char*, 3> kReasonLabels{"port_full", "address_full", "reserved"};

bool IsWeb(std::size_t kind) {
    return kind == static_cast<std::size_t>(RequestKind::Media) || kind == static_cast<std::size_t>(RequestKind::Pages);
}

thread_local RequestKind noted = RequestKind::Other;

}  // namespace

StationMetrics::StationMetrics(MetricsRegistry& registry) {
    const char* requests = "vorn_station_requests_total";
    const char* requestsHelp = "Requests answered, by what they asked for and what came of them";
    for (std::size_t kind = 0; kind < kRequestKinds; ++kind) {
        if (IsWeb(kind)) {
            for (std::size_t status = 0; status < kStatusLabels.size(); ++status) {
                web_[kind][status] = &registry.Counter(
                    requests, requestsHelp, {{"kind", kKindLabels[kind]}, {"result", kStatusLabels[status]}});
            }
        } else {
            for (std::size_t result = 0; result < kProtocolResults; ++result) {
                protocol_[kind][result] = &registry.Counter(
                    requests, requestsHelp, {{"kind", kKindLabels[kind]}, {"result", kResultLabels[result]}});
            }
        }
    }
    for (std::size_t kind = 0; kind < kRequestKinds; ++kind) {
        seconds_[kind] = &registry.Histogram("vorn_station_request_duration_seconds",
                                             "Time from a request's arrival to its answer being ready to send",
                                             RequestSecondsBuckets(), {{"kind", kKindLabels[kind]}});
    }
    const char* ratingsHelp = "Ratings received that were not stored: invalid ones (unknown item, value outside "
                              "1 to 5, incomplete) and ones the store could not take";
    stored_ = &registry.Counter("vorn_station_ratings_stored_total", "Ratings committed to the store");
    invalid_ = &registry.Counter("vorn_station_ratings_refused_total", ratingsHelp, {{"reason", "invalid"}});
    notStored_ = &registry.Counter("vorn_station_ratings_refused_total", ratingsHelp, {{"reason", "not_stored"}});
    for (std::size_t port = 0; port < kPortLabels.size(); ++port) {
        for (std::size_t reason = 0; reason < kReasonLabels.size(); ++reason) {
            refused_[port][reason] = &registry.Counter(
                "vorn_station_connections_refused_total",
                "Connections reset at once because the port, or the client's share of it, was full",
                {{"port", kPortLabels[port]}, {"reason", kReasonLabels[reason]}});
        }
    }
}

void StationMetrics::Protocol(RequestKind kind, ProtocolResult result, std::chrono::nanoseconds took) noexcept {
    const auto at = static_cast<std::size_t>(kind);
    if (!IsWeb(at)) {
        protocol_[at][static_cast<std::size_t>(result)]->Add();
    }
    seconds_[at]->Observe(took);
}

void StationMetrics::Web(RequestKind kind, int status, std::chrono::nanoseconds took) noexcept {
    const auto at = static_cast<std::size_t>(kind);
    if (IsWeb(at) && status >= 200 && status < 600) {
        web_[at][static_cast<std::size_t>(status / 100 - 2)]->Add();
    }
    seconds_[at]->Observe(took);
}

void StationMetrics::Ratings(std::size_t stored, std::size_t invalid, std::size_t notStored) noexcept {
    stored_->Add(stored);
    invalid_->Add(invalid);
    notStored_->Add(notStored);
}

void StationMetrics::Refused(std::size_t port, RefusalReason reason) noexcept {
    if (port < refused_.size()) {
        refused_[port][static_cast<std::size_t>(reason)]->Add();
    }
}

void StationMetrics::Note(RequestKind kind) noexcept { noted = kind; }

RequestKind StationMetrics::TakeNoted() noexcept {
    const RequestKind kind = noted;
    noted = RequestKind::Other;
    return kind;
}

}  // namespace vorn::station
