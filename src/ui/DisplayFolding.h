#pragma once

#include <string>
#include <string_view>

namespace vorn {

// Brings what the display's font cannot show into letters it can, where a
// reader still recognises the word: accented Latin letters lose their accents
// ("Zoë Bérénice" reads "Zoe Berenice", "Straße" "Strasse"), Greek and
// Cyrillic are spelled in Latin letters ("Москва" reads "Moskva", Russian as
// its common English spelling: "Чайковский" reads "Chaykovskiy"), typographic
// dashes and quotes become plain ones. Scripts without a sensible Latin
// spelling (Han, Kana, Hangul, ...) and text that is not well-formed UTF-8
// pass unchanged, so the display's cleaning blanks them as before.
//
// The transforms (ICU's Russian-Latin/BGN, Any-Latin and Latin-ASCII) take a
// few hundred milliseconds to make, once per process; Prepare does that, and
// until it has, Fold leaves every text as it is. After that a title costs some
// microseconds; plain ASCII text never needs them. Thread-safe.
class DisplayFolding {
public:
    // Whether the text holds anything beyond ASCII.
    static bool NeedsFolding(std::string_view text);
    // The transforms are made: Fold folds.
    static bool IsReady();
    // Makes the transforms unless they are made; a second caller waits for the
    // first. False, with one log line, when ICU cannot make them.
    static bool Prepare();
    // The folded text; the text itself while the transforms are not ready.
    static std::string Fold(const std::string& text);
};

}  // namespace vorn
