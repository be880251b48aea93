#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vorn::station {

// A value that only goes up, such as requests answered. Counting is one
// relaxed atomic add: no lock and no allocation, so it may sit on any path.
class MetricCounter {
public:
    void Add(std::uint64_t n = 1) noexcept { value_.fetch_add(n, std::memory_order_relaxed); }
    std::uint64_t Value() const noexcept { return value_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> value_{0};
};

// A value that goes up and down, such as items waiting for work.
class MetricGauge {
public:
    void Set(std::int64_t value) noexcept { value_.store(value, std::memory_order_relaxed); }
    void Add(std::int64_t n) noexcept { value_.fetch_add(n, std::memory_order_relaxed); }
    std::int64_t Value() const noexcept { return value_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::int64_t> value_{0};
};

// How long something took, counted into buckets fixed at registration: one
// short scan of the bounds and two relaxed atomic adds per observation.
class MetricHistogram {
public:
    // Upper bounds in seconds, ascending; an implicit last bucket takes the rest.
    explicit MetricHistogram(std::vector<double> bounds);

    void Observe(std::chrono::nanoseconds took) noexcept;

    const std::vector<double>& Bounds() const { return bounds_; }
    // Observations at most Bounds()[i] (i < Bounds().size()) or in all (the last).
    std::vector<std::uint64_t> Cumulative() const;
    double SumSeconds() const;

private:
    const std::vector<double> bounds_;
    std::vector<std::int64_t> boundsNs_;
    std::unique_ptr<std::atomic<std::uint64_t>[]> counts_;  // one per bound, then the rest
    std::atomic<std::uint64_t> sumNs_{0};
};

// Label names and values of one series, e.g. {{"kind", "ratings"}}.
using MetricLabels = std::vector<std::pair<std::string, std::string>>;

// The station's metrics by name, written out in the Prometheus text format.
//
// Any part of the station registers what it counts once, at start-up (that
// takes a lock and allocates), and keeps the returned reference to count
// into, which costs no lock. A value that a part already keeps (a queue's
// length, a cache's size) need not be counted twice: a callback gauge or
// counter reads it when the metrics are written out, on the thread that
// writes them, so it must be safe to call from any thread and cheap.
//
// Names follow Prometheus's rules ([a-zA-Z_:][a-zA-Z0-9_:]*), counters end in
// "_total", durations in "_seconds". One name is one family: registering it
// again with other labels adds a series; with the same labels returns the
// series already there. A name registered as two different types, or an
// invalid name, is a programming error: it is logged, and what is counted
// into it is never written out. References stay valid for the life of the
// registry. Thread-safe.
class MetricsRegistry {
public:
    MetricsRegistry();
    ~MetricsRegistry();
    MetricsRegistry(const MetricsRegistry&) = delete;
    MetricsRegistry& operator=(const MetricsRegistry&) = delete;

    MetricCounter& Counter(const std::string& name, const std::string& help, const MetricLabels& labels = {});
    MetricGauge& Gauge(const std::string& name, const std::string& help, const MetricLabels& labels = {});
    MetricHistogram& Histogram(const std::string& name, const std::string& help, const std::vector<double>& bounds,
                               const MetricLabels& labels = {});
    // `read` may return NaN for a value not known yet.
    void CallbackGauge(const std::string& name, const std::string& help, std::function<double()> read,
                       const MetricLabels& labels = {});
    void CallbackCounter(const std::string& name, const std::string& help, std::function<double()> read,
                         const MetricLabels& labels = {});

    // Every family in the order registered, as text exposition format 0.0.4
    // ("text/plain; version=0.0.4").
    std::string Exposition() const;

private:
    struct Family;
    struct Series;
    Series& Find(const std::string& name, const std::string& help, int type, const MetricLabels& labels,
                 bool& created);

    mutable std::mutex mutex_;  // guards families_ (not the values, which are atomic)
    std::deque<std::unique_ptr<Family>> families_;
    std::deque<std::unique_ptr<Family>> refused_;  // what was registered wrongly, kept for its references
};

// Buckets for the time a request takes, from half a millisecond to ten seconds.
const std::vector<double>& RequestSecondsBuckets();

}  // namespace vorn::station
