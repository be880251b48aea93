#include "station/store/SharedText.h"

#include <mutex>
#include <unordered_map>

namespace vorn::station {
namespace {

// Every text kept, by its value. Never destroyed: texts held by objects that
// outlive main's return are released into it.
struct Pool {
    std::mutex mutex;  // guards nodes, and every holder count's fall to zero
    std::unordered_map<std::string_view, void*> nodes;  // keys: the texts of the nodes
};

Pool& ThePool() {
    static Pool* const pool = new Pool;
    return *pool;
}

}  // namespace

SharedText::Node* SharedText::Acquire(std::string_view text) {
    Pool& pool = ThePool();
    std::lock_guard lock(pool.mutex);
    const auto found = pool.nodes.find(text);
    if (found != pool.nodes.end()) {
        Node* node = static_cast<Node*>(found->second);
        node->holders.fetch_add(1, std::memory_order_relaxed);
        return node;
    }
    Node* node = new Node;
    node->text.assign(text.data(), text.size());
    if (text.empty()) {
        node->holders.fetch_add(1, std::memory_order_relaxed);  // the pool's own: "" is never freed
    }
    pool.nodes.emplace(node->text, node);
    return node;
}

void SharedText::Release(Node* node) noexcept {
    // A holder that is not the last leaves without the lock; the last one
    // takes it, so that no Acquire can find the text while it is freed.
    std::uint32_t holders = node->holders.load(std::memory_order_relaxed);
    while (holders > 1) {
        if (node->holders.compare_exchange_weak(holders, holders - 1, std::memory_order_acq_rel)) {
            return;
        }
    }
    Pool& pool = ThePool();
    std::lock_guard lock(pool.mutex);
    if (node->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        pool.nodes.erase(node->text);
        delete node;
    }
}

SharedText::SharedText() noexcept {
    static Node* const empty = Acquire({});
    empty->holders.fetch_add(1, std::memory_order_relaxed);
    node_ = empty;
}

SharedText::SharedText(std::string_view text) : node_(Acquire(text)) {}

SharedText::SharedText(const SharedText& other) noexcept : node_(other.node_) {
    node_->holders.fetch_add(1, std::memory_order_relaxed);
}

SharedText::SharedText(SharedText&& other) noexcept : SharedText(static_cast<const SharedText&>(other)) {}

SharedText& SharedText::operator=(const SharedText& other) noexcept {
    if (node_ != other.node_) {
        other.node_->holders.fetch_add(1, std::memory_order_relaxed);
        Release(node_);
        node_ = other.node_;
    }
    return *this;
}

SharedText& SharedText::operator=(SharedText&& other) noexcept {
    return *this = static_cast<const SharedText&>(other);
}

SharedText& SharedText::operator=(std::string_view text) {
    if (text != node_->text) {
        Node* node = Acquire(text);
        Release(node_);
        node_ = node;
    }
    return *this;
}

SharedText::~SharedText() { Release(node_); }

std::size_t SharedText::Kept() {
    Pool& pool = ThePool();
    std::lock_guard lock(pool.mutex);
    return pool.nodes.size();
}

}  // namespace vorn::station
