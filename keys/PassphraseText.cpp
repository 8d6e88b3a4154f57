#include "keys/PassphraseText.h"

#include <algorithm>

#include "keys/PassphraseDigest.h"
#include "base/SecureWipe.h"

namespace morvex {

namespace {

// The decoded text holds the passphrase too; it is wiped when it goes.
class WipeOnExit {
public:
    explicit WipeOnExit(std::u32string& text) : text_(text) {}
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;
    ~WipeOnExit() { SecureWipe(text_.data(), text_.size() * sizeof(char32_t)); }

private:
    std::u32string& text_;
};

[[nodiscard]] std::string_view KeyBytes(const std::string& bytes) {
    return std::string_view(bytes).substr(0, kMaxPassphraseBytes);
}

}  // namespace

std::string_view PassphraseEncodingName(PassphraseEncoding encoding) {
    switch (encoding) {
        case PassphraseEncoding::AsGiven: return "as given";
        case PassphraseEncoding::Utf8: return "UTF-8";
        case PassphraseEncoding::Windows1252: return CodePageName(CodePage::Windows1252);
        case PassphraseEncoding::Windows1250: return CodePageName(CodePage::Windows1250);
        case PassphraseEncoding::Windows1251: return CodePageName(CodePage::Windows1251);
        case PassphraseEncoding::Windows1253: return CodePageName(CodePage::Windows1253);
        case PassphraseEncoding::Windows1254: return CodePageName(CodePage::Windows1254);
        case PassphraseEncoding::Windows1257: return CodePageName(CodePage::Windows1257);
        case PassphraseEncoding::Oem437: return CodePageName(CodePage::Oem437);
        case PassphraseEncoding::Oem850: return CodePageName(CodePage::Oem850);
    }
    return "";
}

PassphraseEncoding EncodingOf(CodePage page) {
    switch (page) {
        case CodePage::Windows1252: return PassphraseEncoding::Windows1252;
        case CodePage::Windows1250: return PassphraseEncoding::Windows1250;
        case CodePage::Windows1251: return PassphraseEncoding::Windows1251;
        case CodePage::Windows1253: return PassphraseEncoding::Windows1253;
        case CodePage::Windows1254: return PassphraseEncoding::Windows1254;
        case CodePage::Windows1257: return PassphraseEncoding::Windows1257;
        case CodePage::Oem437: return PassphraseEncoding::Oem437;
        case CodePage::Oem850: return PassphraseEncoding::Oem850;
    }
    return PassphraseEncoding::AsGiven;
}

void WipePassphraseForm(PassphraseForm& form) noexcept {
    SecureWipe(form.bytes.data(), form.bytes.size());
    form.bytes.clear();
}

std::optional<std::u32string> DecodeUtf8(std::string_view bytes) {
    std::u32string text;
    text.reserve(bytes.size());
    const auto fail = [&text]() -> std::optional<std::u32string> {
        SecureWipe(text.data(), text.size() * sizeof(char32_t));
        return std::nullopt;
    };
    for (std::size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<std::uint8_t>(bytes[i]);
        std::size_t length = 0;
        char32_t character = 0;
        char32_t smallest = 0;  // below this the sequence is an overlong form
        if (lead < 0x80) {
            length = 1;
            character = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            character = lead & 0x1FU;
            smallest = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            character = lead & 0x0FU;
            smallest = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            character = lead & 0x07U;
            smallest = 0x10000;
        } else {
            return fail();
        }
        if (bytes.size() - i < length) {
            return fail();
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<std::uint8_t>(bytes[i + k]);
            if ((next & 0xC0U) != 0x80U) {
                return fail();
            }
            character = (character << 6) | (next & 0x3FU);
        }
        if (character < smallest || character > 0x10FFFF || (character >= 0xD800 && character <= 0xDFFF)) {
            return fail();
        }
        text.push_back(character);
        i += length;
    }
    return text;
}

std::string EncodeUtf8(std::u32string_view text) {
    std::string bytes;
    bytes.reserve(4 * text.size());
    const auto put = [&bytes](std::uint32_t byte) { bytes.push_back(static_cast<char>(byte)); };
    for (const char32_t c : text) {
        const auto code = static_cast<std::uint32_t>(c);
        if (code < 0x80) {
            put(code);
        } else if (code < 0x800) {
            put(0xC0U | (code >> 6));
            put(0x80U | (code & 0x3FU));
        } else if (code < 0x10000) {
            put(0xE0U | (code >> 12));
            put(0x80U | ((code >> 6) & 0x3FU));
            put(0x80U | (code & 0x3FU));
        } else {
            put(0xF0U | (code >> 18));
            put(0x80U | ((code >> 12) & 0x3FU));
            put(0x80U | ((code >> 6) & 0x3FU));
            put(0x80U | (code & 0x3FU));
        }
    }
    return bytes;
}

PassphraseForm PassphraseBytes(std::string_view typed, CodePage home) {
    std::optional<std::u32string> decoded = DecodeUtf8(typed);
    if (!decoded) {
        return {PassphraseEncoding::AsGiven, std::string(typed)};
    }
    const WipeOnExit wipe{*decoded};
    if (std::optional<std::string> inPage = EncodeInCodePage(*decoded, home)) {
        return {EncodingOf(home), std::move(*inPage)};
    }
    // Valid UTF-8 already: the typed bytes are the UTF-8 form.
    return {PassphraseEncoding::Utf8, std::string(typed)};
}

std::size_t PassphraseByteCount(std::string_view typed, CodePage home) {
    PassphraseForm form = PassphraseBytes(typed, home);
    const std::size_t count = form.bytes.size();
    WipePassphraseForm(form);
    return count;
}

std::vector<PassphraseForm> AlternativePassphraseForms(std::string_view typed, CodePage home) {
    std::vector<PassphraseForm> forms;
    std::optional<std::u32string> decoded = DecodeUtf8(typed);
    if (!decoded) {
        return forms;
    }
    const WipeOnExit wipe{*decoded};
    forms.reserve(1 + kCodePages.size());  // no reallocation leaves copies of the bytes behind
    PassphraseForm rule = PassphraseBytes(typed, home);
    const auto add = [&](PassphraseEncoding encoding, std::string bytes) {
        const std::string_view key = KeyBytes(bytes);
        const bool seen = key == KeyBytes(rule.bytes) ||
                          std::any_of(forms.begin(), forms.end(),
                                      [key](const PassphraseForm& form) { return KeyBytes(form.bytes) == key; });
        if (seen) {
            SecureWipe(bytes.data(), bytes.size());
            return;
        }
        forms.push_back({encoding, std::move(bytes)});
    };
    add(PassphraseEncoding::Utf8, std::string(typed));
    for (const CodePage page : kCodePages) {
        if (std::optional<std::string> bytes = EncodeInCodePage(*decoded, page)) {
            add(EncodingOf(page), std::move(*bytes));
        }
    }
    WipePassphraseForm(rule);
    return forms;
}

}  // namespace morvex
