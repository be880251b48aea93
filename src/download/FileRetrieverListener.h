#pragma once

#include <cstdint>

namespace vorn {

// What a download reports upwards, on the download's own thread. Exactly one of
// OnFileRetrieved or OnRetrievalError ends a download that was not stopped.
class FileRetrieverListener {
public:
    virtual ~FileRetrieverListener() = default;
    // The file is complete on disk.
    virtual void OnFileRetrieved(std::int32_t totalBytes, float rateKBps) = 0;
    // Every attempt failed; code is the last attempt's result.
    virtual void OnRetrievalError(std::int32_t code) = 0;
    // Progress after each full block; percent 0 to 100.
    virtual void OnRetrievalStatus(float rateKBps, float percent) = 0;
};

}  // namespace vorn
