#pragma once

#include <string>
#include <string_view>

#include "jobs/Jobs.h"

namespace morvex {

enum class MessageIcon {
    Information,
    Question,
};

// One message box: its text, title and icon, always with a single OK button.
struct MessageText {
    std::string_view text;
    std::string_view title;
    MessageIcon icon = MessageIcon::Information;
};

// Every message the system shows, by what it says.
enum class MessageId {
    NoAlgorithm,
    NoFileToEncrypt,
    NoFileToDecrypt,
    NoPassphrase,
    NoRetype,
    PassphrasesDiffer,
    NotAContainer,
    CannotOpenSource,
    CannotCreateOutput,
    CannotDetermineSize,
    CannotStartJob,
    WrongKey,
    MadeWithTripleDes,
    MadeWithIdea,
    CutShort,
    CipherNotFound,
    Done,
    Canceled,
    ReadWriteError,
    PathTooLong,
    Limit,
    Working,
    License,
    Quality,
    Warning,
};

// The one table of the system's messages; both windows and the command-line tool take their texts
// from here.
[[nodiscard]] const MessageText& Message(MessageId id) noexcept;

[[nodiscard]] MessageId MessageFor(Refusal refusal) noexcept;
// As above, and for the other cipher the message that names the one that verified.
[[nodiscard]] MessageId MessageFor(const RequestResult& refused) noexcept;
[[nodiscard]] MessageId MessageFor(JobOutcome outcome) noexcept;

// The notice that the passphrase was taken in another byte form than the rule's, because the file
// was made with that one: its text and title.
[[nodiscard]] std::string RecodedPassphraseText(PassphraseEncoding encoding);
inline constexpr std::string_view kRecodedPassphraseTitle = "Passphrase";

// The window's own texts.
inline constexpr std::string_view kWindowTitle = "morvex 1.1";
inline constexpr std::string_view kPickerTitle = "Open file";
inline constexpr std::string_view kPickerFilter = "All Files (*.*)|*.*||";
inline constexpr std::string_view kCreditLine1 = "morvex 1.1 - one file at a time, under a passphrase";
inline constexpr std::string_view kCreditLine2 = "Triple-DES and IDEA in CBC";

}  // namespace morvex
