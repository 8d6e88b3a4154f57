// The tool as a child process on Windows: no console (DETACHED_PROCESS; a hidden console would
// leave its reads waiting forever), stdin the NUL device, stdout and stderr in temporary files,
// descriptor 3 handed over the way the C runtime passes its descriptors to a child.

#include "ChildProcess.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace morvex::test {

namespace {

SECURITY_ATTRIBUTES Inheritable() {
    return SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
}

std::wstring Widen(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end())).wstring();
}

// One argument as the C runtime's command-line parser reads it back.
std::wstring Quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(2 * backslashes, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

HANDLE TemporaryFile() {
    std::array<wchar_t, MAX_PATH + 1> folder{};
    std::array<wchar_t, MAX_PATH + 1> name{};
    if (::GetTempPathW(static_cast<DWORD>(folder.size()), folder.data()) == 0 ||
        ::GetTempFileNameW(folder.data(), L"mvx", 0, name.data()) == 0) {
        return INVALID_HANDLE_VALUE;
    }
    SECURITY_ATTRIBUTES inherit = Inheritable();
    return ::CreateFileW(name.data(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

// Everything the child wrote, with its text-mode line ends made plain.
std::string ReadBack(HANDLE file) {
    std::string text;
    LARGE_INTEGER start{};
    ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    std::array<char, 4096> buffer{};
    DWORD got = 0;
    while (::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0) {
        text.append(buffer.data(), got);
    }
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            plain.push_back(text[i]);
        }
    }
    return plain;
}

// The block by which the C runtime gives a child its descriptors: their count, one flag byte per
// descriptor, then one handle per descriptor. Descriptors 0 to 2 marked unused fall back to the
// standard handles.
std::vector<BYTE> DescriptorBlock(HANDLE descriptor3) {
    constexpr int kCount = 4;
    constexpr std::size_t kDescriptors = kCount;
    constexpr BYTE kOpen = 0x01;
    constexpr BYTE kPipe = 0x08;
    std::vector<BYTE> block(sizeof(int) + kDescriptors * (1 + sizeof(HANDLE)), 0);
    std::memcpy(block.data(), &kCount, sizeof(int));
    block[sizeof(int) + 3] = kOpen | kPipe;
    for (std::size_t fd = 0; fd < kDescriptors; ++fd) {
        const HANDLE handle = fd == 3 ? descriptor3 : INVALID_HANDLE_VALUE;
        std::memcpy(block.data() + sizeof(int) + kDescriptors + fd * sizeof(HANDLE), &handle, sizeof(HANDLE));
    }
    return block;
}

}  // namespace

CliChild::CliChild(const ChildOptions& options) {
    if (options.terminal || options.fileSizeLimit) {
        throw std::runtime_error("no terminal and no file size limit for a child on Windows");
    }
    std::wstring commandLine = Quoted(std::filesystem::path(MORVEX_CLI_PATH).make_preferred().wstring());
    for (const std::string& arg : options.args) {
        commandLine += L" " + Quoted(Widen(arg));
    }
    SECURITY_ATTRIBUTES inherit = Inheritable();
    const HANDLE input = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                       OPEN_EXISTING, 0, nullptr);
    out_ = TemporaryFile();
    err_ = TemporaryFile();
    HANDLE errorTarget = err_;
    HANDLE closedRead = nullptr;
    HANDLE closedWrite = nullptr;
    HANDLE extraRead = nullptr;
    HANDLE extraWrite = nullptr;
    if (input == INVALID_HANDLE_VALUE || out_ == INVALID_HANDLE_VALUE || err_ == INVALID_HANDLE_VALUE ||
        (options.stderrReaderGone && !::CreatePipe(&closedRead, &closedWrite, &inherit, 0)) ||
        (options.descriptor3 && !::CreatePipe(&extraRead, &extraWrite, &inherit, 0))) {
        throw std::runtime_error("no files or pipes for the child");
    }
    if (options.stderrReaderGone) {
        ::CloseHandle(closedRead);
        errorTarget = closedWrite;
    }
    if (extraWrite != nullptr) {
        ::SetHandleInformation(extraWrite, HANDLE_FLAG_INHERIT, 0);
    }
    std::vector<BYTE> descriptors = DescriptorBlock(extraRead != nullptr ? extraRead : INVALID_HANDLE_VALUE);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = out_;
    startup.hStdError = errorTarget;
    startup.cbReserved2 = static_cast<WORD>(descriptors.size());
    startup.lpReserved2 = descriptors.data();
    PROCESS_INFORMATION started{};
    const std::wstring folder = Widen(options.workingDirectory);
    const BOOL ok = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                     DETACHED_PROCESS | CREATE_UNICODE_ENVIRONMENT, nullptr,
                                     folder.empty() ? nullptr : folder.c_str(), &startup, &started);
    for (const HANDLE handle : {input, closedWrite, extraRead}) {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
    }
    if (!ok) {
        if (extraWrite != nullptr) {
            ::CloseHandle(extraWrite);
        }
        throw std::runtime_error("CreateProcessW failed");
    }
    ::CloseHandle(started.hThread);
    process_ = started.hProcess;
    if (extraWrite != nullptr) {
        DWORD written = 0;
        ::WriteFile(extraWrite, options.descriptor3->data(), static_cast<DWORD>(options.descriptor3->size()), &written,
                    nullptr);
        ::CloseHandle(extraWrite);
    }
}

CliChild::~CliChild() {
    if (process_ != nullptr) {
        ::TerminateProcess(process_, 1);
        ::WaitForSingleObject(process_, 10000);
        ::CloseHandle(process_);
    }
    ::CloseHandle(out_);
    ::CloseHandle(err_);
}

ChildResult CliChild::Wait() {
    int status = -2;
    if (::WaitForSingleObject(process_, 120000) == WAIT_OBJECT_0) {
        DWORD code = 0;
        status = ::GetExitCodeProcess(process_, &code) ? static_cast<int>(code) : -1;
    } else {
        ::TerminateProcess(process_, 1);
        ::WaitForSingleObject(process_, 10000);
    }
    ::CloseHandle(process_);
    process_ = nullptr;
    return {status, ReadBack(out_), ReadBack(err_)};
}

}  // namespace morvex::test
