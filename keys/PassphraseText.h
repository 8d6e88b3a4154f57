#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "keys/CodePages.h"

namespace morvex {

// The key words depend on the passphrase's exact bytes. The home platform takes the typed text in
// its 8-bit code page, so the front ends turn text into bytes by one rule: the text in the home
// code page (Windows-1252 unless the system says otherwise) where every character fits, otherwise
// UTF-8. Text is handed over as UTF-8, as both toolkits and
// terminals give it.

// How a passphrase's bytes were made. AsGiven: the bytes exactly as they came, for text that is no
// valid UTF-8 and for bytes the user gives as bytes.
enum class PassphraseEncoding : std::uint8_t {
    AsGiven,
    Utf8,
    Windows1252,
    Windows1250,
    Windows1251,
    Windows1253,
    Windows1254,
    Windows1257,
    Oem437,
    Oem850,
};

// "UTF-8", "Windows-1252", "OEM 437" and so on; "as given" for AsGiven.
[[nodiscard]] std::string_view PassphraseEncodingName(PassphraseEncoding encoding);

[[nodiscard]] PassphraseEncoding EncodingOf(CodePage page);

// A passphrase as bytes, and how they were made from its text.
struct PassphraseForm {
    PassphraseEncoding encoding = PassphraseEncoding::AsGiven;
    std::string bytes;
};

// Overwrites the bytes before they are freed.
void WipePassphraseForm(PassphraseForm& form) noexcept;

// Strict UTF-8 (RFC 3629): nothing if the bytes hold an overlong form, a surrogate, a code point
// above U+10FFFF or a cut-off sequence.
[[nodiscard]] std::optional<std::u32string> DecodeUtf8(std::string_view bytes);
[[nodiscard]] std::string EncodeUtf8(std::u32string_view text);

// The rule's bytes of the typed text: in the home code page (Windows-1252 unless the platform says
// otherwise) where every character fits, otherwise UTF-8; text that is no valid UTF-8 as given.
// Not cut: the key takes the first kMaxPassphraseBytes of them.
[[nodiscard]] PassphraseForm PassphraseBytes(std::string_view typed, CodePage home = CodePage::Windows1252);

// What the quality meter, the Limit box and the cut count: the number of the rule's bytes.
[[nodiscard]] std::size_t PassphraseByteCount(std::string_view typed, CodePage home = CodePage::Windows1252);

// The other byte forms of the same text worth a try when the rule's bytes prove wrong, in the order
// to try them: UTF-8, Windows-1252, then the other pages of kCodePages. Only forms in which every
// character fits, and only those whose key bytes (the first kMaxPassphraseBytes) differ from the
// rule's and from every earlier form's, so each one stands for a different key. None for text that
// is no valid UTF-8.
[[nodiscard]] std::vector<PassphraseForm> AlternativePassphraseForms(std::string_view typed,
                                                                     CodePage home = CodePage::Windows1252);

}  // namespace morvex
