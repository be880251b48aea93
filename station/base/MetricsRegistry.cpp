#include "station/base/MetricsRegistry.h"

#include <charconv>
#include <cmath>

#include "station/base/StationLog.h"

namespace vorn::station {
namespace {

enum Type { kCounter, kGauge, kHistogram };

const char* TypeName(int type) {
    switch (type) {
        case kCounter: return "counter";
        case kGauge: return "gauge";
        default: return "histogram";
    }
}

bool ValidName(const std::string& name) {
    if (name.empty() || (name[0] >= '0' && name[0] <= '9')) {
        return false;
    }
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                        c == ':';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// Help text escapes backslash and line feed; label values the double quote too.
std::string Escaped(const std::string& text, bool quote) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (quote && c == '"') {
            out += "\\\"";
        } else {
            out += c;
        }
    }
    return out;
}

std::string Number(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "+Inf" : "-Inf";
    }
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

// {a="x",b="y"} with `extra` (such as le="0.5") last; nothing for no labels.
std::string LabelText(const MetricLabels& labels, const std::string& extra = "") {
    if (labels.empty() && extra.empty()) {
        return "";
    }
    std::string out = "{";
    for (const auto& [name, value] : labels) {
        out += (out.size() > 1 ? "," : "") + name + "=\"" + Escaped(value, true) + "\"";
    }
    if (!extra.empty()) {
        out += (out.size() > 1 ? "," : "") + extra;
    }
    return out + "}";
}

}  // namespace

MetricHistogram::MetricHistogram(std::vector<double> bounds)
    : bounds_(std::move(bounds)), counts_(new std::atomic<std::uint64_t>[bounds_.size() + 1]) {
    for (double bound : bounds_) {
        boundsNs_.push_back(static_cast<std::int64_t>(std::llround(bound * 1e9)));
    }
    for (std::size_t i = 0; i <= bounds_.size(); ++i) {
        counts_[i].store(0, std::memory_order_relaxed);
    }
}

void MetricHistogram::Observe(std::chrono::nanoseconds took) noexcept {
    const std::int64_t ns = took.count();
    std::size_t bucket = 0;
    while (bucket < boundsNs_.size() && ns > boundsNs_[bucket]) {
        ++bucket;
    }
    counts_[bucket].fetch_add(1, std::memory_order_relaxed);
    sumNs_.fetch_add(static_cast<std::uint64_t>(std::max<std::int64_t>(ns, 0)), std::memory_order_relaxed);
}

std::vector<std::uint64_t> MetricHistogram::Cumulative() const {
    std::vector<std::uint64_t> out;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i <= bounds_.size(); ++i) {
        total += counts_[i].load(std::memory_order_relaxed);
        out.push_back(total);
    }
    return out;
}

double MetricHistogram::SumSeconds() const { return static_cast<double>(sumNs_.load(std::memory_order_relaxed)) / 1e9; }

struct MetricsRegistry::Series {
    MetricLabels labels;
    MetricCounter counter;
    MetricGauge gauge;
    std::unique_ptr<MetricHistogram> histogram;
    std::function<double()> read;  // set for a callback series
};

struct MetricsRegistry::Family {
    std::string name;
    std::string help;
    int type = kCounter;
    std::deque<Series> series;
};

MetricsRegistry::MetricsRegistry() = default;
MetricsRegistry::~MetricsRegistry() = default;

MetricsRegistry::Series& MetricsRegistry::Find(const std::string& name, const std::string& help, int type,
                                                const MetricLabels& labels, bool& created) {
    std::lock_guard lock(mutex_);
    created = false;
    Family* family = nullptr;
    for (auto& each : families_) {
        if (each->name == name) {
            family = each.get();
        }
    }
    bool valid = ValidName(name);
    for (const auto& [label, value] : labels) {
        valid = valid && ValidName(label) && label.find(':') == std::string::npos && label != "le";
    }
    if (!valid || (family != nullptr && family->type != type)) {
        STATION_LOG(LogLevel::Severe) << "MetricsRegistry : the " << TypeName(type) << " \"" << name
                                      << "\" cannot be registered (a bad name or label, or another type of the "
                                         "same name); it is not reported";
        refused_.push_back(std::make_unique<Family>());
        created = true;
        return refused_.back()->series.emplace_back();
    }
    if (family == nullptr) {
        families_.push_back(std::make_unique<Family>());
        family = families_.back().get();
        family->name = name;
        family->help = help;
        family->type = type;
    }
    for (Series& series : family->series) {
        if (series.labels == labels) {
            return series;
        }
    }
    created = true;
    Series& series = family->series.emplace_back();
    series.labels = labels;
    return series;
}

MetricCounter& MetricsRegistry::Counter(const std::string& name, const std::string& help, const MetricLabels& labels) {
    bool created = false;
    return Find(name, help, kCounter, labels, created).counter;
}

MetricGauge& MetricsRegistry::Gauge(const std::string& name, const std::string& help, const MetricLabels& labels) {
    bool created = false;
    return Find(name, help, kGauge, labels, created).gauge;
}

MetricHistogram& MetricsRegistry::Histogram(const std::string& name, const std::string& help,
                                            const std::vector<double>& bounds, const MetricLabels& labels) {
    bool created = false;
    Series& series = Find(name, help, kHistogram, labels, created);
    if (created) {
        series.histogram = std::make_unique<MetricHistogram>(bounds);
    }
    return *series.histogram;
}

void MetricsRegistry::CallbackGauge(const std::string& name, const std::string& help, std::function<double()> read,
                                    const MetricLabels& labels) {
    bool created = false;
    Find(name, help, kGauge, labels, created).read = std::move(read);
}

void MetricsRegistry::CallbackCounter(const std::string& name, const std::string& help, std::function<double()> read,
                                      const MetricLabels& labels) {
    bool created = false;
    Find(name, help, kCounter, labels, created).read = std::move(read);
}

std::string MetricsRegistry::Exposition() const {
    std::lock_guard lock(mutex_);
    std::string out;
    for (const auto& family : families_) {
        out += "# HELP " + family->name + " " + Escaped(family->help, false) + "\n";
        out += "# TYPE " + family->name + " " + TypeName(family->type) + "\n";
        for (const Series& series : family->series) {
            if (family->type == kHistogram) {
                const MetricHistogram& histogram = *series.histogram;
                const std::vector<std::uint64_t> counts = histogram.Cumulative();
                for (std::size_t i = 0; i < counts.size(); ++i) {
                    const std::string le =
                        i < histogram.Bounds().size() ? Number(histogram.Bounds()[i]) : std::string("+Inf");
                    out += family->name + "_bucket" + LabelText(series.labels, "le=\"" + le + "\"") + " " +
                           std::to_string(counts[i]) + "\n";
                }
                out += family->name + "_sum" + LabelText(series.labels) + " " + Number(histogram.SumSeconds()) + "\n";
                out += family->name + "_count" + LabelText(series.labels) + " " + std::to_string(counts.back()) + "\n";
                continue;
            }
            const std::string value = series.read               ? Number(series.read())
                                      : family->type == kCounter ? std::to_string(series.counter.Value())
                                                                 : std::to_string(series.gauge.Value());
            out += family->name + LabelText(series.labels) + " " + value + "\n";
        }
    }
    return out;
}

const std::vector<double>& RequestSecondsBuckets() {
    static const std::vector<double> bounds{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                            0.1,    0.25,  0.5,    1,     2.5,  5,     10};
    return bounds;
}

}  // namespace vorn::station
