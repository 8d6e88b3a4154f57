// The platform layer on Windows: the only file of the engine that calls the operating system's files,
// threads and clock. Names are UTF-8 inside morvex and UTF-16 at every call, so any name the file
// system holds can be opened, not only those of the current code page.
//
// POSIX creates the output readable and writable by its owner only. Windows has no such mode: the
// output gets the default security descriptor, that is the access list inherited from its folder
// (in a user's own folders: the user, SYSTEM and the Administrators), just as a file saved there by
// any other program. An explicit owner-only list would cut off backups and shares the user set up
// on purpose for that folder.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <system_error>
#include <utility>

#include "jobs/PageRange.h"
#include "jobs/Platform.h"
#include "jobs/WideText.h"

namespace morvex {

namespace {

// One call moves at most this much; a DWORD count could not say more than 4 GiB anyway.
constexpr std::size_t kMaxTransferPerCall = std::size_t{1} << 30;

std::error_code LastError() {
    return {static_cast<int>(::GetLastError()), std::system_category()};
}

// The form of a name for the system, or the reason there is none.
struct SystemName {
    std::optional<std::wstring> name;
    std::error_code error;
};

// The form of the name that CreateFileW and DeleteFileW take: UTF-16, and past MAX_PATH the
// extended-length form of the full path, which the plain form cannot reach. A name that is empty
// or holds a zero byte (the system would cut it short, into another file) names nothing, and so
// does one that is no UTF-8.
SystemName NameFor(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos) {
        return {std::nullopt, std::make_error_code(std::errc::no_such_file_or_directory)};
    }
    std::optional<std::wstring> wide = WidenUtf8(path);
    if (!wide) {
        return {std::nullopt, std::make_error_code(std::errc::illegal_byte_sequence)};
    }
    if (wide->size() < MAX_PATH || wide->starts_with(L"\\\\?\\")) {
        return {std::move(wide), {}};
    }
    const DWORD needed = ::GetFullPathNameW(wide->c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return {std::nullopt, LastError()};
    }
    std::wstring full(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(wide->c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) {
        return {std::nullopt, length == 0 ? LastError() : std::make_error_code(std::errc::filename_too_long)};
    }
    full.resize(length);
    if (full.starts_with(L"\\\\")) {
        return {L"\\\\?\\UNC\\" + full.substr(2), {}};  // \\server\share\... becomes \\?\UNC\server\share\...
    }
    return {L"\\\\?\\" + full, {}};
}

// Only a file on a disk has a size and can be made new; a name such as NUL, CON or a pipe opens a
// device instead, which a job must neither read as a source nor write an output into.
bool IsDiskFile(HANDLE handle) {
    return ::GetFileType(handle) == FILE_TYPE_DISK;
}

class WindowsSource final : public PlatformSource {
public:
    explicit WindowsSource(HANDLE handle) : handle_(handle) {}
    ~WindowsSource() override { Close(); }
    WindowsSource(const WindowsSource&) = delete;
    WindowsSource& operator=(const WindowsSource&) = delete;

    std::optional<std::uint64_t> Size() override {
        if (!IsDiskFile(handle_)) {
            error_ = std::make_error_code(std::errc::invalid_argument);
            return std::nullopt;
        }
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(handle_, &size)) {
            error_ = LastError();
            return std::nullopt;
        }
        return static_cast<std::uint64_t>(size.QuadPart);
    }

    std::optional<std::size_t> Read(std::span<std::uint8_t> bytes) override {
        const std::optional<std::size_t> got = ReadAt(position_, bytes);
        position_ += got.value_or(0);
        return got;
    }

    // Every read names its offset, so the system's file pointer plays no part and a read at an
    // offset leaves the sequential position alone, as pread does.
    std::optional<std::size_t> ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) override {
        std::size_t total = 0;
        while (total < bytes.size()) {
            const auto ask = static_cast<DWORD>(std::min(bytes.size() - total, kMaxTransferPerCall));
            const std::uint64_t at = offset + total;
            OVERLAPPED where{};
            where.Offset = static_cast<DWORD>(at);
            where.OffsetHigh = static_cast<DWORD>(at >> 32);
            DWORD got = 0;
            if (!::ReadFile(handle_, bytes.data() + total, ask, &got, &where)) {
                if (::GetLastError() == ERROR_HANDLE_EOF) {
                    break;
                }
                error_ = LastError();
                return std::nullopt;
            }
            if (got == 0) {
                break;
            }
            total += got;
        }
        return total;
    }

    void Close() override {
        // The file was only read: a failure to close it loses nothing.
        if (const HANDLE handle = std::exchange(handle_, INVALID_HANDLE_VALUE); handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
    }

    std::error_code Error() const override { return error_; }

private:
    HANDLE handle_;
    std::uint64_t position_ = 0;
    std::error_code error_;
};

// What tells one file from another while both exist, whatever their names.
struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

std::optional<FileIdentity> IdentityOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handle, &information)) {
        return std::nullopt;
    }
    return FileIdentity{information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
}

// The hidden name's random part: only needs to make a clash unlikely, since the name is created
// exclusively and a clash just tries another.
std::wstring HiddenSuffix() {
    static constexpr wchar_t kLetters[] = L"abcdefghijklmnopqrstuvwxyz0123456789";
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t mixed = (::GetTickCount64() * 0x9E3779B97F4A7C15ULL) ^ (std::uint64_t{::GetCurrentProcessId()} << 32) ^
                          (counter.fetch_add(1) * 0xBF58476D1CE4E5B9ULL);
    std::wstring suffix;
    for (int i = 0; i < 6; ++i) {
        suffix += kLetters[mixed % (sizeof kLetters / sizeof kLetters[0] - 1)];
        mixed /= 36;
    }
    return suffix;
}

// The output under a hidden name of its own in the final name's folder until Publish renames it
// (see Platform.h). Shared with writers only, as before, and with a rename or deletion, which the
// publication needs while the job still holds the file.
class WindowsNewOutput final : public PlatformNewOutput {
public:
    WindowsNewOutput(HANDLE handle, std::wstring hidden, std::wstring target, std::wstring folder,
                     std::string hiddenPath, FileIdentity identity)
        : handle_(handle), hidden_(std::move(hidden)), final_(std::move(target)), folder_(std::move(folder)),
          hiddenPath_(std::move(hiddenPath)), identity_(identity) {}
    ~WindowsNewOutput() override {
        if (state_ == State::Writing) {
            (void)Discard();
        }
        if (handle_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle_);
        }
    }
    WindowsNewOutput(const WindowsNewOutput&) = delete;
    WindowsNewOutput& operator=(const WindowsNewOutput&) = delete;

    bool Write(std::span<const std::uint8_t> bytes) override {
        std::size_t total = 0;
        while (total < bytes.size()) {
            const auto ask = static_cast<DWORD>(std::min(bytes.size() - total, kMaxTransferPerCall));
            DWORD put = 0;
            if (!::WriteFile(handle_, bytes.data() + total, ask, &put, nullptr)) {
                error_ = LastError();
                return false;
            }
            if (put == 0) {
                error_ = std::make_error_code(std::errc::io_error);
                return false;
            }
            total += put;
        }
        return true;
    }

    // SetEndOfFile cuts at the file pointer; the pointer goes back where it was, so that a later
    // write continues where the last one ended, as after ftruncate.
    bool SetEnd(std::uint64_t length) override {
        if (length > static_cast<std::uint64_t>(INT64_MAX)) {
            error_ = std::make_error_code(std::errc::file_too_large);
            return false;
        }
        LARGE_INTEGER zero{};
        LARGE_INTEGER position{};
        if (!::SetFilePointerEx(handle_, zero, &position, FILE_CURRENT)) {
            error_ = LastError();
            return false;
        }
        LARGE_INTEGER end{};
        end.QuadPart = static_cast<LONGLONG>(length);
        const bool cut = ::SetFilePointerEx(handle_, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(handle_);
        if (!cut) {
            error_ = LastError();
        }
        if (!::SetFilePointerEx(handle_, position, nullptr, FILE_BEGIN)) {
            error_ = LastError();
            return false;
        }
        return cut;
    }

    bool Flush() override { return Check(::FlushFileBuffers(handle_)); }

    bool Close() override {
        const HANDLE handle = std::exchange(handle_, INVALID_HANDLE_VALUE);
        return handle != INVALID_HANDLE_VALUE && Check(::CloseHandle(handle));
    }

    std::error_code Error() const override { return error_; }

    // MoveFileExW without MOVEFILE_REPLACE_EXISTING refuses a name that exists, a link included.
    // The hidden name must still be this output's: another file there would be published instead.
    bool Publish() override {
        if (state_ != State::Writing || handle_ == INVALID_HANDLE_VALUE) {
            error_ = std::make_error_code(std::errc::invalid_argument);
            return false;
        }
        if (!IsOurs()) {
            error_ = make_error_code(JobError::OutputReplaced);
            return false;
        }
        if (!::MoveFileExW(hidden_.c_str(), final_.c_str(), MOVEFILE_WRITE_THROUGH)) {
            const DWORD code = ::GetLastError();
            error_ = code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS
                         ? std::make_error_code(std::errc::file_exists)
                         : std::error_code{static_cast<int>(code), std::system_category()};
            return false;
        }
        state_ = State::Published;
        FlushFolder();
        return true;
    }

    // The file is deleted through a handle opened on the hidden name and found to be this output's,
    // so that a file put under that name meanwhile is never touched.
    DiscardResult Discard() override {
        if (state_ != State::Writing) {
            return {};
        }
        state_ = State::Discarded;
        (void)Close();
        const HANDLE handle = ::CreateFileW(hidden_.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD code = ::GetLastError();
            return code == ERROR_FILE_NOT_FOUND ? DiscardResult{}
                                                : DiscardResult{{static_cast<int>(code), std::system_category()},
                                                                hiddenPath_};
        }
        DiscardResult result;
        if (IdentityOf(handle) != identity_) {
            result = {make_error_code(JobError::OutputReplaced), hiddenPath_};
        } else {
            FILE_DISPOSITION_INFO disposition{};
            disposition.DeleteFile = TRUE;
            if (!::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition)) {
                result = {LastError(), hiddenPath_};
            }
        }
        ::CloseHandle(handle);
        return result;
    }

private:
    enum class State {
        Writing,
        Published,
        Discarded,
    };

    bool Check(BOOL result) {
        if (!result) {
            error_ = LastError();
        }
        return result != 0;
    }

    [[nodiscard]] bool IsOurs() const {
        const HANDLE handle = ::CreateFileW(hidden_.c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            return false;
        }
        const bool ours = IdentityOf(handle) == identity_;
        ::CloseHandle(handle);
        return ours;
    }

    // The new name is the folder's data: flushed where the system lets a folder be flushed (NTFS
    // does for a handle with write access); elsewhere its journal commits the rename soon after.
    void FlushFolder() const {
        const HANDLE folder = ::CreateFileW(folder_.c_str(), GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (folder != INVALID_HANDLE_VALUE) {
            (void)::FlushFileBuffers(folder);
            ::CloseHandle(folder);
        }
    }

    HANDLE handle_;
    std::wstring hidden_;
    std::wstring final_;
    std::wstring folder_;
    std::string hiddenPath_;  // for the front end to name, in UTF-8
    FileIdentity identity_;
    State state_ = State::Writing;
    std::error_code error_;
};

class WindowsPlatform final : public Platform {
public:
    // Shared with readers only: nobody can change or delete the source while the job reads it.
    // Without FILE_FLAG_BACKUP_SEMANTICS a folder does not open.
    Opened<PlatformSource> OpenSource(const std::string& path) override {
        const SystemName system = NameFor(path);
        if (!system.name) {
            return {nullptr, system.error};
        }
        const HANDLE handle = ::CreateFileW(system.name->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            return {nullptr, LastError()};
        }
        return {std::make_unique<WindowsSource>(handle), {}};
    }

    // Refused, touching nothing, if anything has the name: a file, a folder, a symbolic link or
    // junction (dangling or not), or a device (NUL, CON, COM1 and their like, with any extension).
    // The output is then created new (CREATE_NEW) under a hidden name beside it; see the top of the
    // file for its access list.
    Opened<PlatformNewOutput> CreateOutput(const std::string& path) override {
        const SystemName system = NameFor(path);
        if (!system.name) {
            return {nullptr, system.error};
        }
        const std::wstring& target = *system.name;
        if (::GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
            return {nullptr, std::make_error_code(std::errc::file_exists)};
        }
        if (const DWORD code = ::GetLastError(); code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
            return {nullptr, {static_cast<int>(code), std::system_category()}};
        }
        const HANDLE existing = ::CreateFileW(target.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                              nullptr, OPEN_EXISTING, 0, nullptr);
        if (existing != INVALID_HANDLE_VALUE) {
            const bool device = !IsDiskFile(existing);
            ::CloseHandle(existing);
            return {nullptr, device ? std::make_error_code(std::errc::invalid_argument)
                                    : std::make_error_code(std::errc::file_exists)};
        }
        const std::size_t slash = target.find_last_of(L"\\/");
        const std::wstring folder = slash == std::wstring::npos ? L"." : target.substr(0, slash + 1);
        const std::wstring name = slash == std::wstring::npos ? target : target.substr(slash + 1);
        const std::size_t pathSlash = path.find_last_of("\\/");
        const std::string pathFolder = pathSlash == std::string::npos ? std::string() : path.substr(0, pathSlash + 1);
        const std::string pathName = pathSlash == std::string::npos ? path : path.substr(pathSlash + 1);
        if (name.empty()) {
            return {nullptr, std::make_error_code(std::errc::file_exists)};
        }
        const std::wstring stem = (slash == std::wstring::npos ? std::wstring() : folder) + L"." + name + L".";
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::wstring suffix = HiddenSuffix();
            const std::wstring hidden = stem + suffix;
            const HANDLE handle = ::CreateFileW(hidden.c_str(), GENERIC_WRITE | DELETE,
                                                FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                                FILE_ATTRIBUTE_HIDDEN, nullptr);
            if (handle == INVALID_HANDLE_VALUE) {
                if (::GetLastError() == ERROR_FILE_EXISTS) {
                    continue;
                }
                return {nullptr, LastError()};
            }
            const std::optional<FileIdentity> identity = IdentityOf(handle);
            if (!identity) {
                const std::error_code error = LastError();
                ::CloseHandle(handle);
                (void)::DeleteFileW(hidden.c_str());
                return {nullptr, error};
            }
            std::string hiddenPath = pathFolder + "." + pathName + ".";
            for (const wchar_t letter : suffix) {
                hiddenPath += static_cast<char>(letter);
            }
            return {std::make_unique<WindowsNewOutput>(handle, hidden, target, folder, std::move(hiddenPath), *identity),
                    {}};
        }
        return {nullptr, std::make_error_code(std::errc::file_exists)};
    }

    std::error_code RemoveFile(const std::string& path) override {
        const SystemName system = NameFor(path);
        if (!system.name) {
            return system.error;
        }
        return ::DeleteFileW(system.name->c_str()) ? std::error_code{} : LastError();
    }

    // std::thread runs on the C runtime's own thread start (_beginthreadex), so the runtime is set
    // up for the worker as for any thread.
    std::unique_ptr<PlatformThread> StartThread(std::function<void()> routine) override {
        return StartStandardThread(std::move(routine));
    }

    void Sleep(std::chrono::milliseconds duration) override {
        const auto count = std::clamp<std::chrono::milliseconds::rep>(duration.count(), 0, INFINITE - 1);
        ::Sleep(static_cast<DWORD>(count));
    }

    std::uint64_t NowSeconds() override {
        // 100-nanosecond intervals since 1 January 1601 UTC.
        constexpr std::uint64_t kIntervalsPerSecond = 10'000'000;
        constexpr std::uint64_t kUnixEpoch = 11'644'473'600ULL * kIntervalsPerSecond;
        FILETIME now{};
        ::GetSystemTimeAsFileTime(&now);
        const std::uint64_t intervals = (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
        return intervals < kUnixEpoch ? 0 : (intervals - kUnixEpoch) / kIntervalsPerSecond;
    }
};

}  // namespace

Platform& NativePlatform() {
    static WindowsPlatform platform;
    return platform;
}

CodePage HomeCodePage() noexcept {
    switch (::GetACP()) {
    case 1250: return CodePage::Windows1250;
    case 1251: return CodePage::Windows1251;
    case 1253: return CodePage::Windows1253;
    case 1254: return CodePage::Windows1254;
    case 1257: return CodePage::Windows1257;
    // A page the rule does not hold (the Eastern Asian ones, Hebrew, Arabic, ...) falls back to
    // Windows-1252 and UTF-8, as on the other systems.
    default: return CodePage::Windows1252;
    }
}

// Windows writes no core file; what it offers instead is the crash dialog that sends a dump of the
// process's memory away. It stays off.
void ProtectProcessSecrets() noexcept { ::SetErrorMode(::GetErrorMode() | SEM_NOGPFAULTERRORBOX); }

namespace {

std::pair<void*, std::size_t> Pages(const void* data, std::size_t size) {
    SYSTEM_INFO system{};
    ::GetSystemInfo(&system);
    return PageRange(data, size, static_cast<std::uintptr_t>(system.dwPageSize));
}

}  // namespace

// Within the process's minimum working set, which is small: best effort, as on POSIX.
void LockMemory(const void* data, std::size_t size) noexcept {
    if (size > 0) {
        const auto [begin, length] = Pages(data, size);
        (void)::VirtualLock(begin, length);
    }
}

void UnlockMemory(const void* data, std::size_t size) noexcept {
    if (size > 0) {
        const auto [begin, length] = Pages(data, size);
        (void)::VirtualUnlock(begin, length);
    }
}

}  // namespace morvex
