// The dialog's rules that need no running job: the passphrase fields, the picker, the algorithm
// choice, the request refusals and the commands of an idle dialog.

#include <array>
#include <map>

#include "tests/dialog/DialogTestSupport.h"

namespace morvex::test {

namespace {

const std::string kLimitText =
    "You may enter more characters to complete the passphrase, but after this limit they will not add to the "
    "key "
    "actually used by the algorithm";

std::string Repeat(const std::string& character, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += character;
    }
    return text;
}

}  // namespace

TEST(DialogPassphrase, MeterAndLimitBoxFollowTheFirstFieldStepByStep) {
    DialogRig rig;
    const std::string typed(80, 'q');
    for (std::size_t n = 0; n <= typed.size(); ++n) {
        rig.logic->FirstFieldChanged(typed.substr(0, n), "");
        ASSERT_EQ(rig.view.Count("Limit"), n >= 56 ? 1 : 0) << n;
    }
    // Worked out by hand from m x 100 / 55, truncated, m at most 55.
    const std::map<std::size_t, int> readings{{0, 0},   {1, 1},   {11, 20},  {22, 40},  {28, 50},
                                              {33, 60}, {44, 80}, {55, 100}, {56, 100}, {80, 100}};
    for (const auto& [length, reading] : readings) {
        EXPECT_EQ(rig.view.quality.at(length), reading) << length;
    }
    EXPECT_EQ(rig.view.boxes.at(0).text, kLimitText);
    EXPECT_EQ(rig.view.boxes.at(0).icon, MessageIcon::Information);

    // Shortened from 80: the box comes back exactly when 56 is reached, not at 57 or 55.
    for (std::size_t n = 79; n >= 55; --n) {
        rig.logic->FirstFieldChanged(typed.substr(0, n), "");
        ASSERT_EQ(rig.view.Count("Limit"), n <= 56 ? 2 : 1) << n;
    }
    // A paste that jumps past 56 says nothing, and the second field never moves the meter or warns.
    rig.logic->FirstFieldChanged("", "");
    rig.logic->FirstFieldChanged(std::string(70, 'p'), "");
    EXPECT_EQ(rig.view.quality.back(), 100);
    const std::size_t meterMoves = rig.view.quality.size();
    for (std::size_t n = 0; n <= typed.size(); ++n) {
        rig.logic->SecondFieldChanged(std::string(70, 'p'), typed.substr(0, n));
    }
    EXPECT_EQ(rig.view.quality.size(), meterMoves);
    EXPECT_EQ(rig.view.Count("Limit"), 2);
    EXPECT_EQ(rig.view.boxes.size(), 2U);

    // The key's bytes are counted: "é" is one byte in Windows-1252, so 56 of them reach the limit;
    // "ж" is not in it, so the text goes as UTF-8, two bytes each, and the 28th passes 55 bytes in
    // one typed step from 54 to 56.
    DialogRig latin;
    for (std::size_t n = 1; n <= 56; ++n) {
        latin.logic->FirstFieldChanged(Repeat("é", n), "");
        ASSERT_EQ(latin.view.Count("Limit"), n == 56 ? 1 : 0) << n;
    }
    EXPECT_EQ(latin.view.quality.at(27), 50);
    DialogRig cyrillic;
    for (std::size_t n = 1; n <= 30; ++n) {
        cyrillic.logic->FirstFieldChanged(Repeat("ж", n), "");
        ASSERT_EQ(cyrillic.view.Count("Limit"), n >= 28 ? 1 : 0) << n;
    }
    EXPECT_EQ(cyrillic.view.quality.at(13), 50);  // 14 characters, 28 bytes
    // Where the system's code page is Windows-1251, "ж" is one byte there, as the system's other
    // programs take it.
    DialogRig cyrillicHome(CodePage::Windows1251);
    for (std::size_t n = 1; n <= 56; ++n) {
        cyrillicHome.logic->FirstFieldChanged(Repeat("ж", n), "");
        ASSERT_EQ(cyrillicHome.view.Count("Limit"), n == 56 ? 1 : 0) << n;
    }
    EXPECT_EQ(KeyBytes(cyrillicHome.State().choice.passphrase, false, CodePage::Windows1251), std::string(55, '\xE6'));
    // One typed character of two bytes after 55 steps straight past 56: the box all the same, once;
    // a paste to the same text says nothing.
    DialogRig over;
    over.logic->FirstFieldChanged(std::string(53, 'a') + "ж", "");
    EXPECT_EQ(over.view.Count("Limit"), 0);
    over.logic->FirstFieldChanged(std::string(53, 'a') + "жж", "");
    EXPECT_EQ(over.view.Count("Limit"), 1);
    over.logic->FirstFieldChanged(std::string(53, 'a') + "жжж", "");
    over.logic->FirstFieldChanged("", "");
    over.logic->FirstFieldChanged(std::string(53, 'a') + "жж", "");
    EXPECT_EQ(over.view.Count("Limit"), 1);
}

// Both fields keep their whole text, which the byte rule needs; the key takes the first 55 of the
// rule's bytes: Windows-1252 where every character fits, UTF-8 otherwise.
TEST(DialogPassphrase, BothTextsKeptWholeAndTheKeyTakesTheFirst55BytesOfTheRule) {
    const std::string key = "\xF0\x9F\x94\x91";  // four bytes, in no code page
    const std::array<std::pair<std::string, std::string>, 5> cases{{
        {std::string(60, 'a'), std::string(55, 'a')},
        {std::string(55, 'a'), std::string(55, 'a')},
        {Repeat("é", 60), std::string(55, '\xE9')},
        {std::string(54, 'a') + "€€€", std::string(54, 'a') + "\x80"},
        {Repeat(key, 56), Repeat(key, 14).substr(0, 55)},
    }};
    DialogRig rig;
    for (const auto& [typed, keyBytes] : cases) {
        rig.logic->FirstFieldChanged(typed, "short");
        EXPECT_EQ(rig.State().choice.passphrase, typed);
        EXPECT_EQ(KeyBytes(rig.State().choice.passphrase, false, CodePage::Windows1252), keyBytes);
        EXPECT_EQ(rig.State().choice.retype, "short");
        rig.logic->SecondFieldChanged("short", typed);
        EXPECT_EQ(rig.State().choice.passphrase, "short");
        EXPECT_EQ(rig.State().choice.retype, typed);
    }
}

TEST(DialogPath, LongPathRefusedAndCancelledPickerKeepTheEarlierChoice) {
    DialogRig rig;
    const std::string at251 = "/" + std::string(250, 'n');
    const std::string at250 = at251.substr(0, 250);
    const std::string wideAt250 = "/" + Repeat("é", 249);  // 499 bytes, 250 characters
    struct Step {
        std::optional<std::string> answer;
        std::string chosen;
        int errors;
    };
    const std::array<Step, 6> steps{{
        {"/tmp/first", "/tmp/first", 0},
        {std::nullopt, "/tmp/first", 0},
        {at251, "/tmp/first", 1},
        {at250, at250, 1},
        {std::nullopt, at250, 1},
        {wideAt250, wideAt250, 1},
    }};
    for (std::size_t i = 0; i < steps.size(); ++i) {
        rig.view.pickerAnswers.push_back(steps[i].answer);
        rig.logic->PickFile();
        EXPECT_EQ(rig.view.pickerCalls, static_cast<int>(i) + 1);
        EXPECT_EQ(rig.State().choice.chosenPath, steps[i].chosen) << i;
        EXPECT_EQ(rig.view.Count("Error"), steps[i].errors) << i;
    }
    EXPECT_EQ(rig.view.boxes.at(0).text, "The pathname is too long");
    // A file chosen another way (dropped on the window) follows the same rule.
    rig.logic->ChoosePath(at251);
    EXPECT_EQ(rig.view.Count("Error"), 2);
    EXPECT_EQ(rig.State().choice.chosenPath, wideAt250);
}

TEST(DialogAlgorithm, IdeaShowsTheLicenceOnEveryChoiceBeforeTakingEffect) {
    DialogRig rig;
    std::vector<AlgorithmId> whileShown;
    rig.view.onMessage = [&](const Box&) { whileShown.push_back(rig.State().choice.algorithm); };
    rig.logic->ChooseIdea();
    rig.logic->ChooseIdea();
    EXPECT_EQ(rig.State().choice.algorithm, AlgorithmId::Idea);
    rig.logic->ChooseTripleDes();
    EXPECT_EQ(rig.State().choice.algorithm, AlgorithmId::TripleDes);
    rig.logic->ChooseIdea();
    EXPECT_EQ(whileShown, (std::vector{AlgorithmId::None, AlgorithmId::Idea, AlgorithmId::TripleDes}));
    ASSERT_EQ(rig.view.Count("License information"), 3);
    const Box& licence = rig.view.boxes.front();
    EXPECT_EQ(licence.icon, MessageIcon::Information);
    for (const char* part : {"patent", "http", "commercial", "licence", "3-DES"}) {
        EXPECT_NE(licence.text.find(part), std::string::npos) << part;
    }
}

TEST(DialogRequests, RefusalsInTheirOrderWithTheirTexts) {
    const std::string noAlgorithm = "You must select an encryption algorithm first";
    const std::string noPassphrase = "You must type a passphrase first";
    const std::string mismatch = "The passphrases you typed do not match";
    const std::string notContainer = "The file you selected is not an morvex encrypted file";
    const std::string noCreate = "Unable to create the output file";
    const std::string noOpen = "Unable to open the selected file";
    enum Fault { kNoFault, kSize, kThread };
    struct Case {
        AlgorithmId algorithm;
        std::string file;  // in the rig's folder; nothing chosen if empty
        std::string first;
        std::string second;
        bool decrypt;
        std::string expected;
        Fault fault = kNoFault;
    };
    using enum AlgorithmId;
    const std::string pw = "pw";
    const std::string longer(60, 'x');
    const std::vector<Case> cases{
        {None, "", "", "", false, noAlgorithm},
        {None, "plain.txt", pw, pw, false, noAlgorithm},
        {TripleDes, "", pw, pw, false, "You must select a file to encrypt first"},
        {Idea, "plain.txt", "", "", false, noPassphrase},
        {TripleDes, "plain.txt", pw, "", false, "You must retype the passphrase first"},
        {TripleDes, "plain.txt", "secret", "secrets", false, mismatch},
        {Idea, "plain.txt", "Secret", "secret", false, mismatch},
        {Idea, "plain.txt", longer, "y" + longer.substr(1), false, mismatch},
        {TripleDes, "missing.txt", pw, pw, false, noOpen},
        {TripleDes, "taken.txt", pw, pw, false, noCreate},
        {Idea, "plain.txt", pw, pw, false, "Cannot determine file size", kSize},
        {Idea, "plain.txt", pw, pw, false, "Unable to start the job", kThread},
        {None, "", "", "", true, noAlgorithm},
        {Idea, "", pw, "", true, "You must select a file to decrypt first"},
        {Idea, "notes.txt.ENC", "", pw, true, noPassphrase},
        {Idea, "notes.txt.ENC", pw, "", true, notContainer},
        {TripleDes, "notes.enc.txt", pw, "", true, notContainer},
        {Idea, "missing.enc", pw, "", true, noOpen},
        {Idea, "taken.txt.enc", pw, "", true, noCreate},
        {TripleDes, "free.enc", pw, pw, true, "Cannot determine file size", kSize},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        DialogRig rig;
        for (const char* name :
             {"plain.txt", "notes.txt.ENC", "notes.enc.txt", "free.enc", "taken.txt", "taken.txt.enc"}) {
            WriteFile(rig.dir.File(name), name);
        }
        const std::vector<std::string> before = rig.dir.Names();
        rig.platform.failSize = c.fault == kSize;
        rig.platform.failStartThread = c.fault == kThread;
        rig.Fill(c.algorithm, c.file.empty() ? "" : rig.dir.File(c.file), c.first, c.second);
        rig.view.boxes.clear();
        c.decrypt ? rig.logic->Decrypt() : rig.logic->Encrypt();
        ASSERT_EQ(rig.view.boxes.size(), 1U) << i;
        EXPECT_EQ(rig.view.boxes[0].text, c.expected) << i;
        EXPECT_EQ(rig.view.boxes[0].title, "Error") << i;
        EXPECT_EQ(rig.view.boxes[0].icon, MessageIcon::Information) << i;
        EXPECT_EQ(std::count(rig.view.events.begin(), rig.view.events.end(), "working"), 0) << i;
        EXPECT_FALSE(rig.State().running) << i;
        EXPECT_EQ(rig.dir.Names(), before) << i;
        EXPECT_EQ(ReadFile(rig.dir.File("taken.txt.enc")), "taken.txt.enc") << i;
    }
}

TEST(DialogCommands, IdleDialogEndsByExitOrCloseAndIgnoresCancel) {
    DialogRig rig;
    rig.logic->Cancel();
    EXPECT_TRUE(rig.view.events.empty());
    rig.logic->ExplainQuality();
    rig.logic->ShowWarning();
    ASSERT_EQ(rig.view.boxes.size(), 2U);
    EXPECT_EQ(rig.view.boxes[0].title, "What is Quality?");
    EXPECT_EQ(rig.view.boxes[0].icon, MessageIcon::Question);
    EXPECT_EQ(rig.view.boxes[0].text.rfind("A passphrase with maximum quality corresponds", 0), 0U);
    EXPECT_EQ(rig.view.boxes[1].title, "Warning");
    EXPECT_EQ(rig.view.boxes[1].icon, MessageIcon::Information);
    rig.logic->Exit();
    rig.logic->Close();
    EXPECT_EQ(rig.view.endStatuses, (std::vector{1, 0}));
}

}  // namespace morvex::test
