#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

namespace vorn::station {

// An immutable text kept once for all its holders: the names that recur from
// one item to the next (an album's artist, its album, the genres, the
// formats) cost each item a pointer rather than a string of its own. Equal
// texts are the same text, so comparing two is comparing pointers. Copies
// and releases are thread-safe; a text no holder keeps any more is freed.
class SharedText {
public:
    SharedText() noexcept;  // ""
    explicit SharedText(std::string_view text);
    SharedText(const SharedText& other) noexcept;
    SharedText(SharedText&& other) noexcept;
    SharedText& operator=(const SharedText& other) noexcept;
    SharedText& operator=(SharedText&& other) noexcept;
    SharedText& operator=(std::string_view text);
    SharedText& operator=(const std::string& text) { return *this = std::string_view(text); }
    SharedText& operator=(const char* text) { return *this = std::string_view(text); }
    ~SharedText();

    const std::string& str() const noexcept { return node_->text; }
    operator const std::string&() const noexcept { return node_->text; }
    operator std::string_view() const noexcept { return node_->text; }
    bool empty() const noexcept { return node_->text.empty(); }
    std::size_t size() const noexcept { return node_->text.size(); }
    const char* c_str() const noexcept { return node_->text.c_str(); }
    const char* data() const noexcept { return node_->text.data(); }
    std::size_t find_first_not_of(std::string_view chars) const noexcept {
        return std::string_view(node_->text).find_first_not_of(chars);
    }
    void clear() { *this = SharedText(); }

    friend bool operator==(const SharedText& a, const SharedText& b) noexcept { return a.node_ == b.node_; }
    friend bool operator==(const SharedText& a, std::string_view b) noexcept { return a.str() == b; }
    friend bool operator==(const SharedText& a, const std::string& b) noexcept { return a.str() == b; }
    friend bool operator==(const SharedText& a, const char* b) noexcept { return a.str() == b; }
    friend std::string operator+(const std::string& a, const SharedText& b) { return a + b.str(); }
    friend std::string operator+(const SharedText& a, const std::string& b) { return a.str() + b; }
    friend std::string operator+(const char* a, const SharedText& b) { return a + b.str(); }
    friend std::string operator+(const SharedText& a, const char* b) { return a.str() + b; }
    friend std::ostream& operator<<(std::ostream& out, const SharedText& text) { return out << text.str(); }

    // How many distinct texts are kept now, the empty one included.
    static std::size_t Kept();

private:
    struct Node {
        std::atomic<std::uint32_t> holders{1};
        std::string text;
    };
    static Node* Acquire(std::string_view text);
    static void Release(Node* node) noexcept;

    Node* node_;
};

}  // namespace vorn::station
