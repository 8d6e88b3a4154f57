#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvex {

// The 8-bit code pages in which a passphrase may have been typed on the home platform: its Windows
// ANSI pages for Western, Central European, Cyrillic, Greek, Turkish and Baltic text, and the two
// OEM pages of its consoles. All of them agree with ASCII on bytes 0 to 127.
enum class CodePage : std::uint8_t {
    Windows1252,
    Windows1250,
    Windows1251,
    Windows1253,
    Windows1254,
    Windows1257,
    Oem437,
    Oem850,
};

inline constexpr std::array kCodePages{CodePage::Windows1252, CodePage::Windows1250, CodePage::Windows1251,
                                       CodePage::Windows1253, CodePage::Windows1254, CodePage::Windows1257,
                                       CodePage::Oem437,      CodePage::Oem850};

// "Windows-1252", "OEM 437" and so on, as a message names them.
[[nodiscard]] std::string_view CodePageName(CodePage page);

// The character a byte stands for, or nothing for the bytes the page leaves undefined.
[[nodiscard]] std::optional<char32_t> CodePageCharacter(CodePage page, std::uint8_t byte);

// The byte that stands for a character, or nothing if the page has none for it.
[[nodiscard]] std::optional<std::uint8_t> CodePageByte(CodePage page, char32_t character);

// The text in the page, or nothing if any of its characters has no byte there.
[[nodiscard]] std::optional<std::string> EncodeInCodePage(std::u32string_view text, CodePage page);

}  // namespace morvex
