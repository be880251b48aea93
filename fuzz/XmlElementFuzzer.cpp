// XmlElement: construction from arbitrary bytes and every getter, the way the
// engine walks replies (Child, then NextChild until an empty element), plus the
// builders, whose results must be findable again.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "xml/XmlElement.h"

using vorn::XmlElement;
using vorn::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string tag = input.ConsumeRandomLengthString(24);
    const std::string value = input.ConsumeRandomLengthString(64);
    const std::int32_t number = input.ConsumeIntegral<std::int32_t>();
    const std::string text = input.ConsumeRemainingBytesAsString();

    XmlElement element(text);
    Check(element.Text() == text, "Text returns the construction text");
    Check(element.IsEmpty() == text.empty(), "IsEmpty");
    Check(element.Position() == 0, "a new element starts at position 0");

    const bool has = element.HasChild(tag);
    XmlElement first = element.Child(tag);
    Check(has || first.IsEmpty(), "Child finds nothing where HasChild is false");
    (void)element.ChildInt(tag);

    // The reply walk: every step moves the position forward, so it ends.
    element.Child(tag);
    std::int32_t last = element.Position();
    for (XmlElement next = element.NextChild(tag); !next.IsEmpty(); next = element.NextChild(tag)) {
        Check(element.Position() > last, "NextChild moves forward");
        Check(next.Text().size() <= text.size(), "a child is no longer than its parent");
        last = element.Position();
        (void)next.ChildInt(tag);
    }

    // Builders.
    XmlElement built;
    built.AddChild(tag, value);
    const std::string open = "<" + tag + ">";
    const std::string close = "</" + tag + ">";
    Check(built.HasChild(tag), "AddChild gives a child");
    // The closing tag is looked for from the start, so it must not occur earlier,
    // not even overlapping the opening tag (a tag of "></" closes inside "<></>").
    if ((open + value + close).find(close) == open.size() + value.size()) {
        Check(built.Child(tag).Text() == value, "AddChild's value reads back");
    }
    XmlElement grown = element;
    grown.SetChild(tag, value);
    Check(grown.HasChild(tag), "SetChild gives a child");
    Check(grown.Text().size() == text.size() + value.size() + (has ? 0 : open.size() + close.size()),
          "SetChild inserts the value once");
    grown.SetChildInt(tag, number);
    grown.AddChildInt(tag, number);
    XmlElement joined = XmlElement(value).Append(element);
    Check(joined.Text() == value + text, "Append concatenates");
    XmlElement numbered;
    numbered.AddChildInt(tag, number);
    if (open.find(close) == std::string::npos && tag.find_first_of("0123456789-<>/ \t\n\v\f\r+") == std::string::npos &&
        !tag.empty()) {
        Check(numbered.ChildInt(tag) == number, "AddChildInt reads back as the same number");
    }
    return 0;
}
