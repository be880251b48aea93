#pragma once

#include <cstdint>
#include <string>

namespace vorn {

// A fragment of XML text plus a search position. Not a parser: every operation is
// a plain substring search or concatenation on the text, with no escaping, no
// attributes and no whitespace handling. Tags are always "<tag>" and "</tag>".
// The text may hold any bytes (including NUL and decryption padding).
//
// SetChild inserts right after the first opening tag, so repeated insertions
// come out newest first; the message formats rely on that order.
class XmlElement {
public:
    XmlElement() = default;
    explicit XmlElement(std::string text) : text_(std::move(text)) {}

    std::string Text() const { return text_; }
    bool IsEmpty() const { return text_.empty(); }
    std::int32_t Position() const { return position_; }

    // Building; each returns a copy of the element after the change.
    XmlElement AddChild(const std::string& tag, const std::string& value);
    XmlElement AddChildInt(const std::string& tag, std::int32_t n);
    XmlElement Append(const XmlElement& other);
    XmlElement SetChild(const std::string& tag, const std::string& value);
    XmlElement SetChild(const std::string& tag, const XmlElement& element);
    XmlElement SetChildInt(const std::string& tag, std::int32_t n);

    // Reading.
    bool HasChild(const std::string& tag) const;
    // First child by name; resets the position and leaves it after that child's
    // closing tag (position 0 when not found).
    XmlElement Child(const std::string& tag);
    // Next child by name from the current position; the position is left
    // unchanged when none is found.
    XmlElement NextChild(const std::string& tag);
    // Content of Child(tag) read as a C-library decimal conversion.
    std::int32_t ChildInt(const std::string& tag);

    friend bool operator==(const XmlElement&, const XmlElement&) = default;

private:
    XmlElement FindFrom(const std::string& tag, std::size_t from);

    std::int32_t position_ = 0;
    std::string text_;
};

}  // namespace vorn
