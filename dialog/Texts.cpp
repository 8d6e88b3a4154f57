#include "dialog/Texts.h"

#include <array>
#include <cstddef>

namespace morvex {

namespace {

constexpr std::string_view kError = "Error";

// In the order of MessageId.
constexpr std::array kMessages{
    MessageText{"You must select an encryption algorithm first", kError},
    MessageText{"You must select a file to encrypt first", kError},
    MessageText{"You must select a file to decrypt first", kError},
    MessageText{"You must type a passphrase first", kError},
    MessageText{"You must retype the passphrase first", kError},
    MessageText{"The passphrases you typed do not match", kError},
    MessageText{"The file you selected is not an morvex encrypted file", kError},
    MessageText{"Unable to open the selected file", kError},
    MessageText{"Unable to create the output file", kError},
    MessageText{"Cannot determine file size", kError},
    MessageText{"Unable to start the job", kError},
    MessageText{"The passphrase or the encryption algorithm is not the one this file was encrypted with: check both "
                "and try again.",
                kError},
    MessageText{"This file was encrypted with 3-DES, not with IDEA: choose 3-DES and try again.", kError},
    MessageText{"This file was encrypted with IDEA, not with 3-DES: choose IDEA and try again.", kError},
    MessageText{"The file is shorter than its contents say: it was cut short, perhaps by a copy or a download that "
                "stopped. Decrypt a complete copy of it.",
                kError},
    MessageText{"The encryption algorithm cannot be told from this file; name it.", kError},
    MessageText{"     Done     ", "Done"},
    MessageText{"Canceled", "Canceled"},
    MessageText{"File read/write error", kError},
    MessageText{"The pathname is too long", kError},
    MessageText{"You may enter more characters to complete the passphrase, but after this limit they will not add "
                "to the key actually used by the algorithm",
                "Limit"},
    MessageText{"Working - you have to wait, or press Cancel before exiting", "Working"},
    MessageText{"The IDEA algorithm is patented. The patent holder is Ascom Systec AG, Switzerland "
                "(http://www.ascom.ch/infosec/idea.html).\n\n"
                "Its use is free only for data transfer between private individuals that generates no revenue. "
                "Whoever uses this program commercially and wants to use IDEA must buy a licence from the patent "
                "holder.\n\n"
                "The 3-DES algorithm is the alternative.",
                "License information"},
    MessageText{"A passphrase with maximum quality corresponds to a complete utilization of the number of key bits "
                "in the encryption algorithms. But the quality only measures the number of characters in the "
                "passphrase, so you have to choose a passphrase that is hard enough to guess.",
                "What is Quality?", MessageIcon::Question},
    MessageText{
        "Do not use this program to encrypt extremely sensitive files unless you accept the risk that their "
        "contents may be compromised. Although I have tried to keep out any bugs from the code it is impossible "
        "to guarantee that any programs (except very small ones) are completely free from bugs. Even if an "
        "encryption algorithm is extremely strong, a bug in the implementation could make the program encrypt "
        "in a way that is not corresponding to the original algorithm. Please be aware of this, there is no "
        "100% security anywhere, and use this program on your own risk. Also, if you forget the passphrase you "
        "can assume that your data will be gone forever if you do not have a backup that is not encrypted - so "
        "make sure that you do not forget your passphrase! If you do forget it, there is no use in sending any "
        "mails to me asking for help because I have no chance to get your data back. Last but not least I want "
        "to give you a guarantee that I have not put in any secret backdoors or anything like that on purpose "
        "into this program.",
        "Warning"},
};
static_assert(kMessages.size() == static_cast<std::size_t>(MessageId::Warning) + 1);

}  // namespace

const MessageText& Message(MessageId id) noexcept { return kMessages[static_cast<std::size_t>(id)]; }

MessageId MessageFor(Refusal refusal) noexcept {
    switch (refusal) {
    case Refusal::NoAlgorithm: return MessageId::NoAlgorithm;
    case Refusal::NoFileToEncrypt: return MessageId::NoFileToEncrypt;
    case Refusal::NoFileToDecrypt: return MessageId::NoFileToDecrypt;
    case Refusal::NoPassphrase: return MessageId::NoPassphrase;
    case Refusal::NoRetype: return MessageId::NoRetype;
    case Refusal::PassphrasesDiffer: return MessageId::PassphrasesDiffer;
    case Refusal::NotAContainer: return MessageId::NotAContainer;
    case Refusal::CannotOpenSource: return MessageId::CannotOpenSource;
    case Refusal::CannotCreateOutput: return MessageId::CannotCreateOutput;
    case Refusal::CannotDetermineSize: return MessageId::CannotDetermineSize;
    case Refusal::CannotStartJob: return MessageId::CannotStartJob;
    case Refusal::WrongKey: return MessageId::WrongKey;
    case Refusal::OtherCipher: return MessageId::WrongKey;
    case Refusal::CutShort: return MessageId::CutShort;
    case Refusal::CipherNotFound: return MessageId::CipherNotFound;
    }
    return MessageId::CannotStartJob;
}

MessageId MessageFor(const RequestResult& refused) noexcept {
    if (refused.refusal == Refusal::OtherCipher) {
        return refused.verifyingCipher == AlgorithmId::Idea ? MessageId::MadeWithIdea : MessageId::MadeWithTripleDes;
    }
    return refused.refusal ? MessageFor(*refused.refusal) : MessageId::Done;
}

std::string RecodedPassphraseText(PassphraseEncoding encoding) {
    return "The passphrase matches this file in its " + std::string(PassphraseEncodingName(encoding)) +
           " form, the one the computer that encrypted it used; the file is decrypted with that form.";
}

MessageId MessageFor(JobOutcome outcome) noexcept {
    switch (outcome) {
    case JobOutcome::Done: return MessageId::Done;
    case JobOutcome::Canceled: return MessageId::Canceled;
    case JobOutcome::Failed: return MessageId::ReadWriteError;
    }
    return MessageId::ReadWriteError;
}

}  // namespace morvex
