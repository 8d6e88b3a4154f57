// The byte rule for passphrases, its alternatives, and the code page tables against glibc's iconv.

#include <gtest/gtest.h>

#ifndef _WIN32  // MinGW has no iconv; the tables are the same data on every system
#include <iconv.h>
#endif

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "keys/CodePages.h"
#include "keys/PassphraseText.h"

namespace morvex {
namespace {

#ifndef _WIN32

[[nodiscard]] const char* IconvName(CodePage page) {
    switch (page) {
        case CodePage::Windows1252: return "CP1252";
        case CodePage::Windows1250: return "CP1250";
        case CodePage::Windows1251: return "CP1251";
        case CodePage::Windows1253: return "CP1253";
        case CodePage::Windows1254: return "CP1254";
        case CodePage::Windows1257: return "CP1257";
        case CodePage::Oem437: return "CP437";
        case CodePage::Oem850: return "CP850";
    }
    return "";
}

// One conversion of a whole buffer; nothing if iconv refuses any of it.
[[nodiscard]] std::optional<std::string> Iconv(const char* to, const char* from, std::string in) {
    const iconv_t cd = iconv_open(to, from);
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << from << " to " << to;
    std::string out(4 * in.size() + 8, '\0');
    char* inAt = in.data();
    char* outAt = out.data();
    std::size_t inLeft = in.size();
    std::size_t outLeft = out.size();
    const std::size_t result = iconv(cd, &inAt, &inLeft, &outAt, &outLeft);
    iconv_close(cd);
    if (result == static_cast<std::size_t>(-1) || inLeft != 0) {
        return std::nullopt;
    }
    out.resize(out.size() - outLeft);
    return out;
}

[[nodiscard]] std::string Utf32(char32_t c) {
    const auto code = static_cast<std::uint32_t>(c);
    return {static_cast<char>(code), static_cast<char>(code >> 8), static_cast<char>(code >> 16),
            static_cast<char>(code >> 24)};
}

// Every byte of every page decodes as iconv decodes it, and every character of the Basic Multilingual
// Plane (and a few beyond) encodes exactly when and as iconv encodes it, so the tables hold neither
// a wrong entry nor a missing one.
TEST(CodePagesTest, EveryByteAndCharacterAsIconvHasIt) {
    for (const CodePage page : kCodePages) {
        SCOPED_TRACE(IconvName(page));
        for (unsigned byte = 0; byte < 256; ++byte) {
            const std::optional<std::string> decoded =
                Iconv("UTF-32LE", IconvName(page), std::string(1, static_cast<char>(byte)));
            const std::optional<char32_t> ours = CodePageCharacter(page, static_cast<std::uint8_t>(byte));
            ASSERT_EQ(ours.has_value(), decoded.has_value()) << "byte " << byte;
            if (ours) {
                EXPECT_EQ(Utf32(*ours), *decoded) << "byte " << byte;
            }
        }
        const iconv_t cd = iconv_open(IconvName(page), "UTF-32LE");
        ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
        for (char32_t c = 0; c < 0x10100; ++c) {
            if (c >= 0xD800 && c <= 0xDFFF) {
                continue;
            }
            std::string in = Utf32(c);
            char out[8] = {};
            char* inAt = in.data();
            char* outAt = out;
            std::size_t inLeft = in.size();
            std::size_t outLeft = sizeof out;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            const bool converted = iconv(cd, &inAt, &inLeft, &outAt, &outLeft) != static_cast<std::size_t>(-1);
            const std::optional<std::uint8_t> ours = CodePageByte(page, c);
            ASSERT_EQ(ours.has_value(), converted) << "U+" << std::hex << static_cast<std::uint32_t>(c);
            if (ours) {
                ASSERT_EQ(sizeof out - outLeft, 1u);
                EXPECT_EQ(*ours, static_cast<std::uint8_t>(out[0])) << "U+" << std::hex << static_cast<std::uint32_t>(c);
            }
        }
        iconv_close(cd);
    }
}

#endif

TEST(Utf8Test, DecodesStrictlyAndRoundTrips) {
    const std::vector<std::pair<std::string, std::optional<std::u32string>>> cases{
        {"", U""},
        {"M\xC3\xBCller", U"M\u00FCller"},
        {"\xE2\x82\xAC", U"\u20AC"},
        {"\xF0\x9F\x94\x91", U"\U0001F511"},
        {"\xF4\x8F\xBF\xBF", U"\U0010FFFF"},
        {"\xC0\x80", std::nullopt},          // overlong NUL
        {"\xE0\x9F\xBF", std::nullopt},      // overlong U+07FF
        {"\xF0\x8F\xBF\xBF", std::nullopt},  // overlong U+FFFF
        {"\xED\xA0\x80", std::nullopt},      // a surrogate
        {"\xF4\x90\x80\x80", std::nullopt},  // above U+10FFFF
        {"ab\xC3", std::nullopt},            // cut off
        {"\x80", std::nullopt},              // continuation without a lead
        {"\xC3(", std::nullopt},             // lead without a continuation
        {"M\xFCller", std::nullopt},         // Windows-1252, not UTF-8
    };
    for (const auto& [bytes, text] : cases) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        const std::optional<std::u32string> decoded = DecodeUtf8(bytes);
        ASSERT_EQ(decoded, text);
        if (decoded) {
            EXPECT_EQ(EncodeUtf8(*decoded), bytes);
        }
    }
}

// The rule's bytes and their count: Windows-1252 where every character fits, else UTF-8, and
// bytes that are no UTF-8 as they stand.
TEST(PassphraseBytesTest, Windows1252WhereEveryCharacterFitsOtherwiseUtf8) {
    struct Case {
        std::string typed;
        PassphraseEncoding encoding;
        std::string bytes;
        CodePage home = CodePage::Windows1252;
    };
    const std::vector<Case> cases{
        {"correct horse", PassphraseEncoding::Windows1252, "correct horse"},
        {"M\xC3\xBCller \xE2\x82\xAC" "5", PassphraseEncoding::Windows1252, "M\xFCller \x80" "5"},
        {"\xC5\x81\xC3\xB3" "d\xC5\xBA", PassphraseEncoding::Utf8, "\xC5\x81\xC3\xB3" "d\xC5\xBA"},  // Łódź
        // One character outside Windows-1252 takes the whole text to UTF-8, its ü too.
        {"M\xC3\xBCller \xC5\x81", PassphraseEncoding::Utf8, "M\xC3\xBCller \xC5\x81"},
        {"M\xFCller", PassphraseEncoding::AsGiven, "M\xFCller"},
        {"\xC5\x81\xC3\xB3" "d\xC5\xBA", PassphraseEncoding::Windows1250, "\xA3\xF3" "d\x9F", CodePage::Windows1250},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.typed));
        const PassphraseForm form = PassphraseBytes(c.typed, c.home);
        EXPECT_EQ(form.encoding, c.encoding);
        EXPECT_EQ(form.bytes, c.bytes);
        EXPECT_EQ(PassphraseByteCount(c.typed, c.home), c.bytes.size());
    }
    EXPECT_EQ(PassphraseByteCount(std::string(55, 'a') + "\xC3\xBC"), 56u);  // the Limit box's 56th byte
}

// The other forms, in order, each a key of its own: "Müller" is the same byte in four pages and
// another in both OEM pages; "Łódź" fits two pages and not Windows-1252; forms that differ only
// past the 55th byte make the same key and are left out.
TEST(PassphraseBytesTest, AlternativesAreTheDistinctKeysOfTheOtherForms) {
    using Forms = std::vector<std::pair<PassphraseEncoding, std::string>>;
    const std::vector<std::pair<std::string, Forms>> cases{
        {"M\xC3\xBCller", {{PassphraseEncoding::Utf8, "M\xC3\xBCller"}, {PassphraseEncoding::Oem437, "M\x81ller"}}},
        {"\xC5\x81\xC3\xB3" "d\xC5\xBA",
         {{PassphraseEncoding::Windows1250, "\xA3\xF3" "d\x9F"}, {PassphraseEncoding::Windows1257, "\xD9\xF3" "d\xEA"}}},
        {"\xD0\x9F\xD1\x80\xD0\xB8", {{PassphraseEncoding::Windows1251, "\xCF\xF0\xE8"}}},  // При
        {"plain ascii", {}},
        {std::string(55, 'a') + "\xC3\xBC", {}},
        {"M\xFCller", {}},
    };
    for (const auto& [typed, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(typed));
        Forms forms;
        for (const PassphraseForm& form : AlternativePassphraseForms(typed)) {
            forms.emplace_back(form.encoding, form.bytes);
        }
        EXPECT_EQ(forms, expected);
    }
    EXPECT_EQ(PassphraseEncodingName(PassphraseEncoding::Oem437), "OEM 437");
    EXPECT_EQ(PassphraseEncodingName(PassphraseEncoding::Windows1250), "Windows-1250");
}

}  // namespace
}  // namespace morvex
