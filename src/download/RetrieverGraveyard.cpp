#include "download/RetrieverGraveyard.h"

namespace vorn {

RetrieverGraveyard::~RetrieverGraveyard() {
    std::vector<std::unique_ptr<HttpFileRetriever>> all;
    {
        std::lock_guard lock(mutex_);
        all.swap(buried_);
    }
    all.clear();  // each destructor joins its worker, which no longer needs anything
}

void RetrieverGraveyard::Bury(std::unique_ptr<HttpFileRetriever> retriever) {
    if (!retriever) {
        return;
    }
    std::lock_guard lock(mutex_);
    buried_.push_back(std::move(retriever));
}

void RetrieverGraveyard::Reap() {
    std::vector<std::unique_ptr<HttpFileRetriever>> finished;
    {
        std::lock_guard lock(mutex_);
        for (auto it = buried_.begin(); it != buried_.end();) {
            if ((*it)->IsFinished() && !(*it)->IsWorkerThread()) {
                finished.push_back(std::move(*it));
                it = buried_.erase(it);
            } else {
                ++it;
            }
        }
    }
    finished.clear();
}

std::size_t RetrieverGraveyard::Size() const {
    std::lock_guard lock(mutex_);
    return buried_.size();
}

}  // namespace vorn
