#include "xml/XmlElement.h"

#include "platform/Decimal.h"

namespace vorn {
namespace {

std::string OpenTag(const std::string& tag) { return "<" + tag + ">"; }
std::string CloseTag(const std::string& tag) { return "</" + tag + ">"; }

}  // namespace

XmlElement XmlElement::AddChild(const std::string& tag, const std::string& value) {
    text_ += OpenTag(tag);
    text_ += value;
    text_ += CloseTag(tag);
    return *this;
}

XmlElement XmlElement::AddChildInt(const std::string& tag, std::int32_t n) {
    return AddChild(tag, std::to_string(n));
}

XmlElement XmlElement::Append(const XmlElement& other) {
    text_ += other.text_;
    return *this;
}

XmlElement XmlElement::SetChild(const std::string& tag, const std::string& value) {
    if (!HasChild(tag)) {
        return AddChild(tag, value);
    }
    const std::string open = OpenTag(tag);
    const std::size_t at = text_.find(open) + open.size();
    text_.insert(at, value);
    return *this;
}

XmlElement XmlElement::SetChild(const std::string& tag, const XmlElement& element) {
    return SetChild(tag, element.text_);
}

XmlElement XmlElement::SetChildInt(const std::string& tag, std::int32_t n) {
    return SetChild(tag, std::to_string(n));
}

bool XmlElement::HasChild(const std::string& tag) const {
    return text_.find(OpenTag(tag)) != std::string::npos &&
           text_.find(CloseTag(tag)) != std::string::npos;
}

XmlElement XmlElement::Child(const std::string& tag) {
    position_ = 0;
    return FindFrom(tag, 0);
}

XmlElement XmlElement::NextChild(const std::string& tag) {
    return FindFrom(tag, position_ < 0 ? 0 : static_cast<std::size_t>(position_));
}

std::int32_t XmlElement::ChildInt(const std::string& tag) {
    return ParseDecimalPrefix(Child(tag).text_);
}

XmlElement XmlElement::FindFrom(const std::string& tag, std::size_t from) {
    const std::string open = OpenTag(tag);
    const std::string close = CloseTag(tag);
    const std::size_t a = text_.find(open, from);
    const std::size_t b = text_.find(close, from);
    if (a == std::string::npos || b == std::string::npos) {
        return XmlElement();
    }
    position_ = static_cast<std::int32_t>(b + close.size());
    const std::size_t start = a + open.size();
    // When the first closing tag lies before the end of the first opening tag,
    // the content runs to the end of the text.
    if (b < start) {
        return XmlElement(text_.substr(start));
    }
    return XmlElement(text_.substr(start, b - start));
}

}  // namespace vorn
