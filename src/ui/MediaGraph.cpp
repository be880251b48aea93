#include "ui/MediaGraph.h"

#include "foundation/LogEntry.h"
#include "platform/LoadableModule.h"
#include "ui/MediaBackend.h"

namespace vorn {

namespace {

void LogFromModule(std::int32_t level, const char* text) noexcept {
    try {
        VORN_LOG(static_cast<LogLevel>(level)) << text;
    } catch (...) {  // a line the log cannot take is dropped, as any other
    }
}

struct MediaEntries {
    MediaBackendMaker make = nullptr;
    MediaPluginsLoader loadPlugins = nullptr;
};

// The media module's entries, looked up once by whichever thread first needs
// them; both null (logged once) when the module or an entry is missing.
const MediaEntries& Entries() {
    static const MediaEntries entries = [] {
        MediaEntries found;
        std::string error;
        if (const LoadableModule* module = LoadableModule::Open(kMediaModule, error)) {
            void* make = module->Symbol(kMediaBackendEntry, error);
            void* load = make != nullptr ? module->Symbol(kMediaPluginsEntry, error) : nullptr;
            if (load != nullptr) {
                found.make = reinterpret_cast<MediaBackendMaker>(make);
                found.loadPlugins = reinterpret_cast<MediaPluginsLoader>(load);
            }
        }
        if (found.make == nullptr) {
            VORN_LOG(LogLevel::Severe) << "MediaGraph : the media module " << kMediaModule
                                       << " cannot be used : " << error;
        }
        return found;
    }();
    return entries;
}

const std::string kNoPath;

}  // namespace

MediaGraph::MediaGraph(std::chrono::milliseconds prerollLimit) : prerollLimit_(prerollLimit) {}

MediaGraph::~MediaGraph() = default;

void MediaGraph::LoadPlugins() {
    if (const MediaPluginsLoader load = Entries().loadPlugins) load(&LogFromModule);
}

MediaBackend* MediaGraph::Backend() {
    if (!backend_) {
        const MediaBackendMaker make = Entries().make;
        if (make == nullptr) return nullptr;
        backend_.reset(make(prerollLimit_.count(), &LogFromModule));
        if (backend_) backend_->SetLevelling(levelling_);
    }
    return backend_.get();
}

void MediaGraph::Prepare() {
    if (MediaBackend* backend = Backend()) backend->Prepare();
}

std::int32_t MediaGraph::Load(const std::string& path, std::optional<double> gainDb) {
    MediaBackend* backend = Backend();
    return backend != nullptr ? backend->Load(path, gainDb) : kNoPlaybin;
}

void MediaGraph::Release() {
    if (backend_) backend_->Release();
}

std::int32_t MediaGraph::Run() { return backend_ ? backend_->Run() : kRunRefused; }

std::int32_t MediaGraph::Pause() { return backend_ ? backend_->Pause() : kPauseRefused; }

std::int32_t MediaGraph::Stop() { return backend_ ? backend_->Stop() : kStopRefused; }

bool MediaGraph::IsComplete() { return backend_ && backend_->IsComplete(); }

std::int32_t MediaGraph::GetPosition(double& seconds) const {
    return backend_ ? backend_->GetPosition(seconds) : kNotRunning;
}

std::int32_t MediaGraph::GetDuration(double& seconds) const {
    return backend_ ? backend_->GetDuration(seconds) : kNotRunning;
}

std::int32_t MediaGraph::SeekForward() { return backend_ ? backend_->SeekForward() : kNotRunning; }

std::int32_t MediaGraph::SeekBack() { return backend_ ? backend_->SeekBack() : kNotRunning; }

std::int32_t MediaGraph::SeekToSeconds(double seconds) {
    return backend_ ? backend_->SeekToSeconds(seconds) : kNotRunning;
}

void MediaGraph::SetLevelling(bool on) {
    levelling_ = on;
    if (backend_) backend_->SetLevelling(on);
}

double MediaGraph::Volume() const { return backend_ ? backend_->Volume() : 1.0; }

MediaGraph::MediaState MediaGraph::State() const {
    return backend_ ? static_cast<MediaState>(backend_->State()) : kEmpty;
}

const std::string& MediaGraph::Path() const { return backend_ ? backend_->Path() : kNoPath; }

std::optional<double> MediaGraph::LastSeekTarget() const {
    return backend_ ? backend_->LastSeekTarget() : std::nullopt;
}

GstElement* MediaGraph::NativePipeline() const { return backend_ ? backend_->NativePipeline() : nullptr; }

GstElement* MediaGraph::PreparedPipeline() const { return backend_ ? backend_->PreparedPipeline() : nullptr; }

}  // namespace vorn
