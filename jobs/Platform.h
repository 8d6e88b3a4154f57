#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>

namespace morvex {

// The file a job reads: its source or container. Reads are sequential from the file's start.
class PlatformSource {
public:
    virtual ~PlatformSource() = default;  // closes the file if Close was not called

    // The file's size in bytes, or nothing if the platform cannot tell.
    [[nodiscard]] virtual std::optional<std::uint64_t> Size() = 0;

    // Reads up to bytes.size() bytes; fewer only at the end of the file, 0 at its end.
    // Nothing means the platform reported a failure.
    [[nodiscard]] virtual std::optional<std::size_t> Read(std::span<std::uint8_t> bytes) = 0;

    // Reads at an offset without moving the sequential position; as Read otherwise.
    [[nodiscard]] virtual std::optional<std::size_t> ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) = 0;

    virtual void Close() = 0;

    // The system's cause of the last failure.
    [[nodiscard]] virtual std::error_code Error() const = 0;
};

// The file a job writes, created new for it. Writes are sequential from the file's start.
class PlatformOutput {
public:
    virtual ~PlatformOutput() = default;  // closes the file if Close was not called, ignoring errors

    // Writes all the bytes, or reports failure.
    [[nodiscard]] virtual bool Write(std::span<const std::uint8_t> bytes) = 0;

    // Makes the file exactly length bytes long.
    [[nodiscard]] virtual bool SetEnd(std::uint64_t length) = 0;

    // Returns once everything written is on stable storage.
    [[nodiscard]] virtual bool Flush() = 0;

    [[nodiscard]] virtual bool Close() = 0;

    // The system's cause of the last failure.
    [[nodiscard]] virtual std::error_code Error() const = 0;
};

// A thread started through the platform. Destroyed without Join, it runs on detached: nothing
// waits for it and it releases itself when it ends.
class PlatformThread {
public:
    virtual ~PlatformThread() = default;
    virtual void Join() = 0;
};

// An open file, or the system's reason why there is none.
template <class File>
struct Opened {
    std::unique_ptr<File> file;
    std::error_code error;
};

// Files, threads and time as the job engine uses them; tests substitute their own to inject faults.
class Platform {
public:
    virtual ~Platform() = default;

    // Opens an existing file for reading, shared with other readers only.
    [[nodiscard]] virtual Opened<PlatformSource> OpenSource(const std::string& path) = 0;

    // Creates a new file for writing, shared with other writers only, readable and writable by its
    // owner only. Fails, touching nothing, if any file, directory or link (dangling or not) already
    // has the name.
    [[nodiscard]] virtual Opened<PlatformOutput> CreateOutput(const std::string& path) = 0;

    [[nodiscard]] virtual std::error_code RemoveFile(const std::string& path) = 0;

    // Every thread of the engine starts here: the worker, and the helpers of a job. Nothing if
    // none could be started.
    [[nodiscard]] virtual std::unique_ptr<PlatformThread> StartThread(std::function<void()> routine) = 0;

    virtual void Sleep(std::chrono::milliseconds duration) = 0;

    // Whole seconds since 1 January 1970 UTC.
    [[nodiscard]] virtual std::uint64_t NowSeconds() = 0;
};

// The running system's own files, threads and clock.
[[nodiscard]] Platform& NativePlatform();

// A thread of the standard library, which every system the engine runs on provides; the platform
// layers start their threads with it.
[[nodiscard]] std::unique_ptr<PlatformThread> StartStandardThread(std::function<void()> routine);

}  // namespace morvex
