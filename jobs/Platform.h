#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace morvex {

// One open file of a job. Reads and writes are sequential from the file's start.
class PlatformFile {
public:
    virtual ~PlatformFile() = default;  // closes the file if Close was not called, ignoring errors

    // The file's size in bytes, or nothing if the platform cannot tell.
    [[nodiscard]] virtual std::optional<std::uint64_t> Size() = 0;

    // Reads up to bytes.size() bytes; fewer only at the end of the file, 0 at its end.
    // Nothing means the platform reported a failure.
    [[nodiscard]] virtual std::optional<std::size_t> Read(std::span<std::uint8_t> bytes) = 0;

    // Writes all the bytes, or reports failure.
    [[nodiscard]] virtual bool Write(std::span<const std::uint8_t> bytes) = 0;

    // Makes the file exactly length bytes long.
    [[nodiscard]] virtual bool SetEnd(std::uint64_t length) = 0;

    // Returns once everything written is on stable storage.
    [[nodiscard]] virtual bool Flush() = 0;

    [[nodiscard]] virtual bool Close() = 0;
};

// Files, threads and time as the job engine uses them; tests substitute their own to inject faults.
class Platform {
public:
    virtual ~Platform() = default;

    // Opens an existing file for reading, shared with other readers. Nothing if that fails.
    [[nodiscard]] virtual std::unique_ptr<PlatformFile> OpenForReading(const std::string& path) = 0;

    // Creates a new file for writing, readable and writable by its owner only. Fails, touching
    // nothing, if any file, directory or link (dangling or not) already has the name.
    [[nodiscard]] virtual std::unique_ptr<PlatformFile> CreateNew(const std::string& path) = 0;

    [[nodiscard]] virtual bool RemoveFile(const std::string& path) = 0;

    // Starts a detached thread running the routine: nothing ever waits for it.
    [[nodiscard]] virtual bool StartThread(std::function<void()> routine) = 0;

    virtual void Sleep(std::chrono::milliseconds duration) = 0;

    // Whole seconds since 1 January 1970 UTC.
    [[nodiscard]] virtual std::uint64_t NowSeconds() = 0;
};

// The running system's own files, threads and clock.
[[nodiscard]] Platform& NativePlatform();

}  // namespace morvex
