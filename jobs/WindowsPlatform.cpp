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
#include <system_error>
#include <utility>

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

class WindowsOutput final : public PlatformOutput {
public:
    explicit WindowsOutput(HANDLE handle) : handle_(handle) {}
    ~WindowsOutput() override {
        if (handle_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle_);
        }
    }
    WindowsOutput(const WindowsOutput&) = delete;
    WindowsOutput& operator=(const WindowsOutput&) = delete;

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

private:
    bool Check(BOOL result) {
        if (!result) {
            error_ = LastError();
        }
        return result != 0;
    }

    HANDLE handle_;
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

    // CREATE_NEW fails, touching nothing, if anything has the name: a file, a folder, or a
    // symbolic link or junction, dangling or not. Shared with writers only, so no other program
    // reads a half-written output. See the top of the file for its access list.
    Opened<PlatformOutput> CreateOutput(const std::string& path) override {
        const SystemName system = NameFor(path);
        if (!system.name) {
            return {nullptr, system.error};
        }
        const HANDLE handle = ::CreateFileW(system.name->c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            return {nullptr, LastError()};
        }
        auto file = std::make_unique<WindowsOutput>(handle);
        if (!IsDiskFile(handle)) {
            // A device name (NUL, CON, COM1 and their like, with any extension) opens the device
            // even under CREATE_NEW: nothing was created, so there is nothing to delete.
            return {nullptr, std::make_error_code(std::errc::invalid_argument)};
        }
        return {std::move(file), {}};
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

}  // namespace morvex
