// Recommendation records in their stored form (one "pl.txt" line's
// <vornrecommendation>): FromXml on arbitrary text, and for every record it
// accepts, the stored form read back must give the same record. Records whose
// texts hold "<" or ">" are left out of that check: such values cannot survive
// the string-backed form, and values from the server are cleaned of them before
// they are stored.

#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "server/Recommendation.h"
#include "xml/XmlElement.h"

namespace {

using namespace vorn;

bool Plain(const std::string& text) { return text.find_first_of("<>") == std::string::npos; }

bool AllPlain(const Recommendation& record) {
    if (!Plain(record.MediaUrl().Url()) || !Plain(record.SourceUrl().Url()) || !Plain(record.FileName())) {
        return false;
    }
    for (const auto& [name, value] : record.Details()) {
        if (!Plain(name) || !Plain(value)) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::unique_ptr<Recommendation> record = Recommendation::FromXml(XmlElement(text));
    if (!record) {
        return 0;
    }
    fuzz::Check(record->IsComplete(), "FromXml gives only complete records");
    (void)record->Detail("Artist");
    (void)record->MediaUrl().Port();
    const XmlElement stored = record->ToXml();
    if (AllPlain(*record)) {
        std::unique_ptr<Recommendation> again = Recommendation::FromXml(stored);
        fuzz::Check(again != nullptr && *again == *record, "a stored record reads back the same");
    }
    return 0;
}
