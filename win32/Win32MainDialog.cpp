#include "win32/Win32MainDialog.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <array>

#include "base/SecureWipe.h"
#include "dialog/ControlTable.h"
#include "jobs/WideText.h"
#include "win32/Resources.h"

namespace morvex {

namespace {

constexpr UINT_PTR kTimerId = 1;

std::wstring Wide(std::string_view text) { return WidenUtf8(text).value_or(std::wstring()); }

HWND Control(HWND window, ControlId id) { return GetDlgItem(window, static_cast<int>(id)); }

// The control that Alt with this character chooses, from the table.
ControlId Shortcut(WPARAM character) {
    for (const ControlSpec& entry : MainDialogControls()) {
        if (entry.shortcut != 0 && character < 128 &&
            CharUpperW(reinterpret_cast<LPWSTR>(character)) ==
                CharUpperW(reinterpret_cast<LPWSTR>(static_cast<WPARAM>(static_cast<unsigned char>(entry.shortcut))))) {
            return entry.id;
        }
    }
    return ControlId::None;
}

// A field's text in UTF-8 for the rules. Both copies are wiped once the rules have taken theirs.
// An unpaired surrogate, which no keyboard types, becomes U+FFFD.
class FieldText {
public:
    explicit FieldText(HWND field) {
        std::wstring wide(static_cast<std::size_t>(GetWindowTextLengthW(field)) + 1, L'\0');
        const int length = GetWindowTextW(field, wide.data(), static_cast<int>(wide.size()));
        if (length > 0) {
            const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
            text_.resize(static_cast<std::size_t>(bytes));
            WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, text_.data(), bytes, nullptr, nullptr);
        }
        SecureZeroMemory(wide.data(), wide.size() * sizeof(wchar_t));
    }
    ~FieldText() { SecureWipe(text_.data(), text_.size()); }
    FieldText(const FieldText&) = delete;
    FieldText& operator=(const FieldText&) = delete;
    [[nodiscard]] std::string_view View() const { return text_; }

private:
    std::string text_;
};

// The system's file-open dialog over all files, read-only ticked; the current directory stays.
std::optional<std::string> OpenFileDialog(HWND owner) {
    // Long paths come back too, so that the rules can refuse them with their own message.
    std::array<wchar_t, 32768> path{};
    const std::wstring title = Wide(kPickerTitle);
    static constexpr wchar_t kFilter[] = L"All Files (*.*)\0*.*\0";
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = kFilter;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = path.data();
    dialog.nMaxFile = static_cast<DWORD>(path.size());
    dialog.lpstrTitle = title.c_str();
    dialog.Flags = OFN_READONLY | OFN_NOCHANGEDIR | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_EXPLORER;
    if (GetOpenFileNameW(&dialog) == 0) {
        return std::nullopt;
    }
    return NarrowToUtf8(path.data());
}

}  // namespace

void InitDialogControls() {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
}

Win32MainDialog::Win32MainDialog(Platform& platform, FileChooser chooser)
    : platform_(platform), chooser_(std::move(chooser)) {}

Win32MainDialog::~Win32MainDialog() {
    if (window_ != nullptr) {
        DestroyWindow(window_);
    }
}

int Win32MainDialog::Run(HINSTANCE instance) {
    icon_ = LoadIconW(instance, MAKEINTRESOURCEW(kIconResource));
    ended_ = false;
    status_ = MainDialogLogic::kCloseStatus;
    if (CreateDialogParamW(instance, MAKEINTRESOURCEW(kDialogResource), nullptr, &DialogProc,
                           reinterpret_cast<LPARAM>(this)) == nullptr) {
        return -1;
    }
    // A loop of the dialog's own rather than DialogBox's, for the radio buttons' Alt shortcuts: their
    // captions carry no mnemonic for the dialog manager to find.
    MSG message{};
    while (!ended_ && GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (window_ != nullptr && message.message == WM_SYSCHAR && Shortcut(message.wParam) != ControlId::None) {
            SendMessageW(window_, WM_COMMAND, MAKEWPARAM(static_cast<int>(Shortcut(message.wParam)), BN_CLICKED),
                         reinterpret_cast<LPARAM>(Control(window_, Shortcut(message.wParam))));
            continue;
        }
        if (window_ == nullptr || IsDialogMessageW(window_, &message) == 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    if (window_ != nullptr) {
        DestroyWindow(window_);
    }
    return status_;
}

INT_PTR CALLBACK Win32MainDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<Win32MainDialog*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->window_ = window;
    }
    auto* self = reinterpret_cast<Win32MainDialog*>(GetWindowLongPtrW(window, DWLP_USER));
    return self == nullptr ? FALSE : self->Handle(message, wParam, lParam);
}

INT_PTR Win32MainDialog::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
        SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
        for (const ControlId bar : {ControlId::QualityMeter, ControlId::ProgressBar}) {
            SendMessageW(Control(window_, bar), PBM_SETRANGE, 0, MAKELPARAM(0, 100));
            SendMessageW(Control(window_, bar), PBM_SETPOS, 0, 0);
        }
        logic_ = std::make_unique<MainDialogLogic>(*this, platform_);
        SetTimer(window_, kTimerId, MainDialogLogic::kTimerPeriodMs, nullptr);
        return TRUE;  // the focus goes to the first control with a tab stop
    case WM_PAINT:
        if (IsIconic(window_) != 0) {
            Paint();
            return TRUE;
        }
        return FALSE;
    case WM_QUERYDRAGICON:
        SetWindowLongPtrW(window_, DWLP_MSGRESULT, reinterpret_cast<LONG_PTR>(icon_));
        return reinterpret_cast<INT_PTR>(icon_);
    case WM_COMMAND:
        if (logic_ != nullptr) {
            Command(LOWORD(wParam), HIWORD(wParam));
        }
        return TRUE;
    case WM_TIMER:
        if (wParam == kTimerId && logic_ != nullptr) {
            logic_->Tick();
        }
        return TRUE;
    case WM_CLOSE:
        if (logic_ != nullptr) {
            logic_->Close();
        }
        return TRUE;
    case WM_DESTROY:
        KillTimer(window_, kTimerId);
        // A job still running is cancelled and its output deleted while the window still exists.
        logic_.reset();
        return TRUE;
    case WM_NCDESTROY:
        window_ = nullptr;
        return FALSE;
    default:
        return FALSE;
    }
    (void)lParam;
}

void Win32MainDialog::Command(int id, int notification) {
    switch (id) {
    case IDCANCEL:  // Escape: a job's cancel, never the dialog's end
        logic_->Cancel();
        return;
    case IDOK:  // Enter with no push button focused: nothing, even during a job
        return;
    default:
        break;
    }
    switch (static_cast<ControlId>(id)) {
    case ControlId::PassphraseField:
    case ControlId::RetypeField:
        if (notification == EN_CHANGE) {
            FieldChanged(static_cast<ControlId>(id) == ControlId::PassphraseField);
        }
        return;
    default:
        break;
    }
    if (notification != BN_CLICKED) {
        return;
    }
    switch (static_cast<ControlId>(id)) {
    case ControlId::ExitButton: logic_->Exit(); break;
    case ControlId::EncryptButton: logic_->Encrypt(); break;
    case ControlId::DecryptButton: logic_->Decrypt(); break;
    case ControlId::TripleDesRadio:
    case ControlId::IdeaRadio: {
        // An accelerator arrives without the click that checks the button: check it here.
        const HWND radio = Control(window_, static_cast<ControlId>(id));
        SetFocus(radio);
        CheckRadioButton(window_, static_cast<int>(ControlId::TripleDesRadio), static_cast<int>(ControlId::IdeaRadio),
                         id);
        if (static_cast<ControlId>(id) == ControlId::TripleDesRadio) {
            logic_->ChooseTripleDes();
        } else {
            logic_->ChooseIdea();
        }
        break;
    }
    case ControlId::PickFileButton: logic_->PickFile(); break;
    case ControlId::QualityHelpButton: logic_->ExplainQuality(); break;
    case ControlId::CancelButton: logic_->Cancel(); break;
    case ControlId::WarningButton: logic_->ShowWarning(); break;
    default: break;
    }
}

void Win32MainDialog::FieldChanged(bool first) {
    const FieldText firstText(Control(window_, ControlId::PassphraseField));
    const FieldText secondText(Control(window_, ControlId::RetypeField));
    if (first) {
        logic_->FirstFieldChanged(firstText.View(), secondText.View());
    } else {
        logic_->SecondFieldChanged(firstText.View(), secondText.View());
    }
}

void Win32MainDialog::Paint() {
    PAINTSTRUCT paint{};
    const HDC context = BeginPaint(window_, &paint);
    SendMessageW(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(context), 0);
    RECT client{};
    GetClientRect(window_, &client);
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(context, x, y, icon_);
    EndPaint(window_, &paint);
}

void Win32MainDialog::SetWorking(bool working) {
    EnableWindow(Control(window_, ControlId::ExitButton), working ? FALSE : TRUE);
    EnableWindow(Control(window_, ControlId::EncryptButton), working ? FALSE : TRUE);
    EnableWindow(Control(window_, ControlId::DecryptButton), working ? FALSE : TRUE);
    EnableWindow(Control(window_, ControlId::CancelButton), working ? TRUE : FALSE);
}

void Win32MainDialog::SetQuality(int percent) {
    SendMessageW(Control(window_, ControlId::QualityMeter), PBM_SETPOS, static_cast<WPARAM>(std::clamp(percent, 0, 100)), 0);
}

void Win32MainDialog::SetProgress(int percent) {
    SendMessageW(Control(window_, ControlId::ProgressBar), PBM_SETPOS, static_cast<WPARAM>(std::clamp(percent, 0, 100)), 0);
}

void Win32MainDialog::ShowMessage(const MessageText& message) {
    const UINT icon = message.icon == MessageIcon::Question ? MB_ICONQUESTION : MB_ICONINFORMATION;
    MessageBoxW(window_, Wide(message.text).c_str(), Wide(message.title).c_str(), MB_OK | icon);
}

std::optional<std::string> Win32MainDialog::ChooseFile() {
    return chooser_ ? chooser_() : OpenFileDialog(window_);
}

void Win32MainDialog::EndDialog(int status) {
    status_ = status;
    ended_ = true;
    // Wakes the loop, which ends the dialog.
    PostMessageW(window_, WM_NULL, 0, 0);
}

}  // namespace morvex
