#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "download/HttpFileRetriever.h"

namespace vorn {

// Keeps retrievers whose worker thread may still be running until that thread
// has ended. A failed download's owner is deleted on the download's own thread,
// inside its error report, where the retriever cannot wait for itself; it is
// buried here instead and deleted by a later Reap on another thread.
class RetrieverGraveyard {
public:
    RetrieverGraveyard() = default;
    // Waits for every buried worker. Never call while holding a lock a worker needs.
    ~RetrieverGraveyard();
    RetrieverGraveyard(const RetrieverGraveyard&) = delete;
    RetrieverGraveyard& operator=(const RetrieverGraveyard&) = delete;

    void Bury(std::unique_ptr<HttpFileRetriever> retriever);
    // Deletes the buried retrievers whose worker has finished; never waits.
    void Reap();
    std::size_t Size() const;

private:
    mutable std::mutex mutex_;  // guards buried_
    std::vector<std::unique_ptr<HttpFileRetriever>> buried_;
};

}  // namespace vorn
