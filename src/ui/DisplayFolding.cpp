#include "ui/DisplayFolding.h"

#include <unicode/translit.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

#include "foundation/LogEntry.h"

namespace vorn {
namespace {

// NFC first, so that a letter and its separate accent count as the letter.
// Russian by its common English spelling (Any-Latin alone spells Cyrillic by
// ISO 9, whose háčeks Latin-ASCII strips: "Cajkovskij"); the Cyrillic letters
// Russian lacks and Greek through Any-Latin, filtered so that no other script
// reaches it (Any-Latin would spell Han as Mandarin and make rules for it that
// cost a second and a half); the soft and hard signs' primes dropped; then
// every Latin letter to its ASCII base.
constexpr const char* kTransforms =
    "NFC; [:Cyrillic:] Russian-Latin/BGN; [[:Greek:][:Cyrillic:]] Any-Latin; [\\u02B9\\u02BA] Remove; Latin-ASCII";
// Any-Latin makes a script's rules when it first meets the script: met here,
// by Prepare, rather than by the first Greek title.
constexpr const char* kWarmUp = "\xCE\xA9\xCF\x89 \xD0\x96\xD0\xB6 \xD1\x97";  // Greek, Russian, Ukrainian

struct Transforms {
    std::once_flag made;
    std::atomic<bool> ready{false};
    std::mutex mutex;  // guards transliterator: one ICU transliterator is not to be used by two threads at once
    std::unique_ptr<icu::Transliterator> transliterator;
};

Transforms& Shared() {
    static Transforms transforms;
    return transforms;
}

}  // namespace

bool DisplayFolding::NeedsFolding(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

bool DisplayFolding::IsReady() { return Shared().ready.load(); }

bool DisplayFolding::Prepare() {
    Transforms& shared = Shared();
    std::call_once(shared.made, [&shared] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::Transliterator> made(icu::Transliterator::createInstance(
            icu::UnicodeString::fromUTF8(kTransforms), UTRANS_FORWARD, status));
        if (U_FAILURE(status) || !made) {
            VORN_LOG(LogLevel::Warning) << "DisplayFolding : ICU cannot make the display's transforms ("
                                        << u_errorName(status) << "); accented and foreign letters show as spaces";
            return;
        }
        icu::UnicodeString warmUp = icu::UnicodeString::fromUTF8(kWarmUp);
        made->transliterate(warmUp);
        std::lock_guard lock(shared.mutex);
        shared.transliterator = std::move(made);
        shared.ready = true;
    });
    return shared.ready.load();
}

std::string DisplayFolding::Fold(const std::string& text) {
    Transforms& shared = Shared();
    if (!NeedsFolding(text) || !shared.ready.load()) {
        return text;
    }
    icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(text);
    std::string folded;
    // A stray byte would come back as U+FFFD, one space where the display's
    // cleaning makes one per byte: text that is not UTF-8 stays as it is.
    if (unicode.toUTF8String(folded) != text) {
        return text;
    }
    {
        std::lock_guard lock(shared.mutex);
        shared.transliterator->transliterate(unicode);
    }
    folded.clear();
    return unicode.toUTF8String(folded);
}

}  // namespace vorn
