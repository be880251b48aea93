#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "download/HttpFileRetriever.h"
#include "foundation/Preferences.h"
#include "server/Recommendation.h"
#include "tests/support/LoopbackServer.h"

namespace vorn::station::test {

// Downloads a recommendation's file the way the client does: its length, or
// the retriever's error code negated; 0 when it does not finish within
// timeoutMs.
inline std::int32_t DownloadAsTheClient(const Recommendation& rec, const std::string& target,
                                        const Preferences* preferences, int timeoutMs = 20000) {
    class Listener : public FileRetrieverListener {
    public:
        void OnFileRetrieved(std::int32_t totalBytes, float) override {
            bytes = totalBytes;
            done = true;
        }
        void OnRetrievalError(std::int32_t code) override {
            error = code;
            done = true;
        }
        void OnRetrievalStatus(float, float) override {}

        std::atomic<bool> done{false};
        std::atomic<std::int32_t> bytes{0};
        std::atomic<std::int32_t> error{0};
    };
    Listener listener;
    HttpFileRetriever retriever(&listener, target, rec.MediaUrl(), preferences);
    retriever.Start();
    if (!vorn::test::WaitFor([&] { return listener.done.load(); }, timeoutMs)) {
        retriever.Stop();
        return 0;
    }
    return listener.error != 0 ? -listener.error : listener.bytes.load();
}

}  // namespace vorn::station::test
