#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "dialog/ControlTable.h"
#include "dialog/Texts.h"
#include "jobs/WideText.h"
#include "win32/Resources.h"
#include "win32/Win32MainDialog.h"

namespace morvex {
namespace {

namespace fs = std::filesystem;

std::wstring Wide(std::string_view text) { return WidenUtf8(text).value_or(L"?"); }

int Id(ControlId id) { return static_cast<int>(id); }

// A button's click as the button reports it to the dialog. BM_CLICK would go through the mouse
// capture and the focus, which Wine grants a window without an X server only now and then.
void Click(HWND window, ControlId id, bool wait = false) {
    const WPARAM command = MAKEWPARAM(Id(id), BN_CLICKED);
    const auto control = reinterpret_cast<LPARAM>(GetDlgItem(window, Id(id)));
    if (wait) {
        SendMessageW(window, WM_COMMAND, command, control);
    } else {
        PostMessageW(window, WM_COMMAND, command, control);
    }
}

// Waits up to ten seconds for a shown top-level dialog with this title, of this process when given.
HWND AwaitDialog(const std::wstring& title, DWORD process = 0) {
    for (int i = 0; i < 500; ++i) {
        for (HWND found = FindWindowExW(nullptr, nullptr, L"#32770", title.c_str()); found != nullptr;
             found = FindWindowExW(nullptr, found, L"#32770", title.c_str())) {
            DWORD owner = 0;
            GetWindowThreadProcessId(found, &owner);
            // Visible only once its controls exist and it is initialised.
            if ((process == 0 || owner == process) && IsWindowVisible(found) != 0) {
                return found;
            }
        }
        Sleep(20);
    }
    return nullptr;
}

// Runs on a thread of its own while the dialog runs on the test's; gtest's checks stay on the
// test's thread, so the driver notes what went wrong.
class Driver {
public:
    explicit Driver(std::vector<std::string>& faults) : faults_(faults) {}

    void Fault(std::string what) { faults_.push_back(std::move(what)); }

    // Answers the message box the system shows for this message, checking its text and icon.
    void Answer(MessageId id) {
        const MessageText& expected = Message(id);
        const HWND box = AwaitDialog(Wide(expected.title), GetCurrentProcessId());
        if (box == nullptr) {
            Fault("no box titled \"" + std::string(expected.title) + "\"");
            return;
        }
        std::wstring text(4096, L'\0');
        text.resize(static_cast<std::size_t>(GetDlgItemTextW(box, 0xFFFF, text.data(), 4096)));
        if (text != Wide(expected.text)) {
            Fault("the box \"" + std::string(expected.title) + "\" says something else");
        }
        HICON icon = nullptr;
        for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
            if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
                icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
            }
        }
        const HICON wanted = LoadIconW(nullptr, MAKEINTRESOURCEW(expected.icon == MessageIcon::Question ? 32514 : 32516));
        if (icon != wanted) {
            Fault("the box \"" + std::string(expected.title) + "\" has another icon");
        }
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        for (int i = 0; i < 250 && IsWindow(box) != 0; ++i) {
            Sleep(20);
        }
    }

    static bool Until(const std::function<bool()>& condition) {
        for (int i = 0; i < 500; ++i) {
            if (condition()) {
                return true;
            }
            Sleep(20);
        }
        return false;
    }

private:
    std::vector<std::string>& faults_;
};

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The template's header as the resource holds it: style, size, title and font.
TEST(Win32Template, HoldsTheDialogsFrameAndFont) {
    const HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(kDialogResource), MAKEINTRESOURCEW(5));
    ASSERT_NE(found, nullptr);
    const auto* words = static_cast<const WORD*>(LockResource(LoadResource(nullptr, found)));
    ASSERT_NE(words, nullptr);
    ASSERT_EQ(words[0], 1);       // DIALOGEX
    ASSERT_EQ(words[1], 0xFFFF);
    DWORD exStyle = 0;
    DWORD style = 0;
    std::memcpy(&exStyle, words + 4, sizeof(exStyle));
    std::memcpy(&style, words + 6, sizeof(style));
    EXPECT_EQ(style, static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME |
                                        WS_VISIBLE | DS_SETFONT));
    EXPECT_EQ(exStyle, static_cast<DWORD>(WS_EX_APPWINDOW));
    EXPECT_EQ(words[8], MainDialogControls().size());
    EXPECT_EQ(words[11], MainDialogTemplate().width);
    EXPECT_EQ(words[12], MainDialogTemplate().height);
    ASSERT_EQ(words[13], 0);  // no menu
    ASSERT_EQ(words[14], 0);  // the dialog class
    const auto* title = reinterpret_cast<const wchar_t*>(words + 15);
    EXPECT_EQ(std::wstring(title), Wide(MainDialogTemplate().title));
    const auto* font = reinterpret_cast<const WORD*>(title + wcslen(title) + 1);
    EXPECT_EQ(font[0], MainDialogTemplate().fontPoints);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(font + 3)), Wide(MainDialogTemplate().fontName));
}

// One whole session in the window: the controls against the table, refusals, the shortcuts, an
// encryption and its decryption, and Exit's status.
TEST(Win32Dialog, RunsAJobThroughItsControls) {
    const fs::path folder = fs::temp_directory_path() / ("morvex-win32-" + std::to_string(GetCurrentProcessId()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    const fs::path source = folder / "note.txt";
    const std::string contents = "the window encrypts this, and decrypts it again\n";
    std::ofstream(source, std::ios::binary) << contents;
    std::string chosen;

    InitDialogControls();
    Win32MainDialog dialog(NativePlatform(), [&chosen] { return std::optional<std::string>(chosen); });
    std::vector<std::string> faults;
    std::thread driverThread([&] {
        Driver driver(faults);
        const HWND window = AwaitDialog(Wide(MainDialogTemplate().title), GetCurrentProcessId());
        if (window == nullptr) {
            driver.Fault("the dialog never opened");
            return;
        }
        const auto item = [window](ControlId id) { return GetDlgItem(window, Id(id)); };

        // The controls in the table's order, with its ids and positions in dialog units.
        HWND child = GetWindow(window, GW_CHILD);
        for (const ControlSpec& entry : MainDialogControls()) {
            if (child == nullptr) {
                driver.Fault("fewer controls than the table has");
                break;
            }
            // The dialog manager maps the origin and the size each on its own, as this does.
            RECT expected{entry.rect.left, entry.rect.top, entry.rect.width, entry.rect.height};
            MapDialogRect(window, &expected);
            RECT actual{};
            GetWindowRect(child, &actual);
            MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&actual), 2);
            actual.right -= actual.left;
            actual.bottom -= actual.top;
            if (static_cast<int>(static_cast<short>(GetDlgCtrlID(child))) != Id(entry.id) ||
                !EqualRect(&expected, &actual) ||
                (IsWindowEnabled(child) != 0) != ((entry.styles & kDisabled) == 0)) {
                driver.Fault("control " + std::string(entry.name) + " differs from the table: id " +
                             std::to_string(GetDlgCtrlID(child)) + " at " + std::to_string(actual.left) + "," +
                             std::to_string(actual.top) + "," + std::to_string(actual.right) + "," +
                             std::to_string(actual.bottom) + " for " + std::to_string(expected.left) + "," +
                             std::to_string(expected.top) + "," + std::to_string(expected.right) + "," +
                             std::to_string(expected.bottom));
            }
            child = GetWindow(child, GW_HWNDNEXT);
        }
        if (SendMessageW(window, WM_QUERYDRAGICON, 0, 0) == 0 || SendMessageW(window, WM_GETICON, ICON_BIG, 0) == 0 ||
            SendMessageW(window, WM_GETICON, ICON_SMALL, 0) == 0) {
            driver.Fault("the window has no icon");
        }

        // Refusals come in the rules' order, in real boxes; the "?" box asks.
        Click(window, ControlId::EncryptButton);
        driver.Answer(MessageId::NoAlgorithm);
        Click(window, ControlId::QualityHelpButton);
        driver.Answer(MessageId::Quality);
        // Alt+I shows the licence and checks IDEA; Alt+3 goes back to triple-DES.
        PostMessageW(item(ControlId::PickFileButton), WM_SYSCHAR, 'i', 0x20000000);
        driver.Answer(MessageId::License);
        PostMessageW(item(ControlId::PickFileButton), WM_SYSCHAR, '3', 0x20000000);
        if (!Driver::Until([&] { return SendMessageW(item(ControlId::TripleDesRadio), BM_GETCHECK, 0, 0) == BST_CHECKED &&
                                        SendMessageW(item(ControlId::IdeaRadio), BM_GETCHECK, 0, 0) == BST_UNCHECKED; })) {
            driver.Fault("Alt+3 did not choose triple-DES");
        }
        Click(window, ControlId::EncryptButton);
        driver.Answer(MessageId::NoFileToEncrypt);
        // Escape while idle leaves the dialog as it is.
        PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
        PostMessageW(window, WM_COMMAND, IDOK, 0);

        chosen = source.string();
        Click(window, ControlId::PickFileButton, true);
        SendMessageW(item(ControlId::PassphraseField), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"K\u00e4se pass"));
        Click(window, ControlId::EncryptButton);
        driver.Answer(MessageId::NoRetype);
        // Nine characters, nine bytes in the home code page: the byte rule reached the rules.
        if (SendMessageW(item(ControlId::QualityMeter), PBM_GETPOS, 0, 0) != 9 * 100 / 55) {
            driver.Fault("the meter does not count the passphrase's bytes");
        }
        SendMessageW(item(ControlId::RetypeField), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"K\u00e4se pass"));
        Click(window, ControlId::EncryptButton);
        driver.Answer(MessageId::Done);
        if (!Driver::Until([&] {
                return SendMessageW(item(ControlId::ProgressBar), PBM_GETPOS, 0, 0) == 0 &&
                       IsWindowEnabled(item(ControlId::EncryptButton)) != 0 &&
                       IsWindowEnabled(item(ControlId::CancelButton)) == 0;
            })) {
            driver.Fault("the controls did not come back after the job");
        }

        // The container decrypts back to the source under the same passphrase.
        std::error_code ignored;
        fs::rename(source, folder / "original.txt", ignored);
        chosen = source.string() + ".enc";
        Click(window, ControlId::PickFileButton, true);
        Click(window, ControlId::DecryptButton);
        driver.Answer(MessageId::Done);

        Click(window, ControlId::ExitButton);
        // A window that a fault above kept open still ends, so that the test reports instead of hanging.
        if (!Driver::Until([window] { return IsWindow(window) == 0; })) {
            driver.Fault("Exit did not end the dialog");
            PostMessageW(window, WM_COMMAND, MAKEWPARAM(Id(ControlId::CancelButton), BN_CLICKED), 0);
            Sleep(1000);
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
    });
    const int status = dialog.Run(GetModuleHandleW(nullptr));
    driverThread.join();
    for (const std::string& fault : faults) {
        ADD_FAILURE() << fault;
    }
    EXPECT_EQ(status, 1);
    EXPECT_EQ(ReadAll(source), contents);
    EXPECT_TRUE(fs::exists(folder / "note.txt.enc"));
    fs::remove_all(folder);
}

// morvex.exe itself: the Exit button ends it with 1, closing the idle window with 0.
TEST(Win32Program, ExitsWithTheRulesStatus) {
    for (const bool exitButton : {true, false}) {
        std::wstring commandLine = L"\"" + fs::path(MORVEX_DIALOG_PATH).make_preferred().wstring() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        ASSERT_NE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                 &process),
                  0);
        const HWND window = AwaitDialog(Wide(MainDialogTemplate().title), process.dwProcessId);
        EXPECT_NE(window, nullptr);
        if (window != nullptr) {
            if (exitButton) {
                Click(window, ControlId::ExitButton);
            } else {
                PostMessageW(window, WM_CLOSE, 0, 0);
            }
        }
        if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 99);
            ADD_FAILURE() << "morvex.exe did not end";
        }
        DWORD status = 0;
        GetExitCodeProcess(process.hProcess, &status);
        EXPECT_EQ(status, exitButton ? 1U : 0U);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

}  // namespace
}  // namespace morvex
