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

#include "jobs/JobError.h"
#include "keys/CodePages.h"

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

// Bytes that start at an address and a file offset that are multiples of this, and that are a whole
// multiple of it, may go to the disk without passing through the system's cache (a page, and a
// multiple of every disk's sector). Writers of large outputs hand them over so aligned.
inline constexpr std::size_t kOutputAlignment = 4096;

// The file a job writes. Writes are sequential from the file's start.
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

    // The job is held back by this file: from now on its writes go through the system's cache,
    // where the disk takes many at once, if they went past it. May be called while another thread
    // is in Write.
    virtual void PreferCache() noexcept {}
};

// What a discard could not remove: the system's reason and the file left behind, for the front
// end to name. Both empty when nothing is left.
struct DiscardResult {
    std::error_code cause;
    std::string leftBehind;

    // For a front end that only reports the cause.
    operator std::error_code() const noexcept { return cause; }  // NOLINT(google-explicit-constructor)
};

// The output a job creates. Until Publish it has no name a reader could find, so that whatever
// ends the process mid-job (a kill, a crash, a power cut) leaves no partial file under the final
// name; Publish gives it that name at the very end and never replaces a file that has taken the
// name meanwhile.
//
// How each system keeps the guarantee:
// - Linux: an unnamed file in the output's folder (O_TMPFILE). Publish links it under the final
//   name (linkat, which refuses an existing name) and then flushes the folder, so that the name
//   survives a power cut as the bytes do. Until then the file vanishes with its last descriptor:
//   even SIGKILL leaves nothing.
// - Other POSIX systems, and Linux file systems without unnamed files: a hidden name
//   ".NAME.XXXXXX" in the same folder, created exclusively; Publish links it to the final name
//   (link refuses to replace; where a file system has no links, a rename that refuses to
//   replace), removes the hidden name and flushes the folder. A process killed mid-job leaves the
//   hidden file, never a partial file under the final name.
// - Windows: a hidden, temporary file ".NAME.XXXXXX" created exclusively in the same folder
//   (CREATE_NEW, FILE_ATTRIBUTE_HIDDEN); Publish renames it with MoveFileExW(temporary, final,
//   MOVEFILE_WRITE_THROUGH) and never MOVEFILE_REPLACE_EXISTING, so an existing name makes it fail
//   with ERROR_ALREADY_EXISTS; that failure is reported as std::errc::file_exists. Discard removes
//   the temporary only while it is still the file this output created (compare the volume serial
//   number and file index of GetFileInformationByHandle), never a file found by name.
class PlatformNewOutput : public PlatformOutput {
public:
    // Gives the flushed file its final name, then flushes the folder. Call once, after Flush.
    // Fails with std::errc::file_exists, replacing nothing, if the name has been taken since the
    // file was created; after any failure the file is unnamed as before, for Discard.
    [[nodiscard]] virtual bool Publish() = 0;

    // Removes the file of a job that did not succeed: its own file only, never a file found by
    // its name. Closes it first if needed. Nothing to do once published or discarded.
    [[nodiscard]] virtual DiscardResult Discard() = 0;
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

    // Creates the output that Publish will name path: a new file in path's folder, readable and
    // writable by its owner only. Fails, touching nothing, if any file, directory or link (dangling
    // or not) already has the name.
    [[nodiscard]] virtual Opened<PlatformNewOutput> CreateOutput(const std::string& path) = 0;

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

// The code page in which the running system's programs take typed text as bytes: on Windows its ANSI
// code page where the byte rule knows it, otherwise (and on every other system) Windows-1252.
[[nodiscard]] CodePage HomeCodePage() noexcept;

// A thread of the standard library, which every system the engine runs on provides; the platform
// layers start their threads with it. The thread's stack nearest the routine is kept in memory
// while it runs and wiped when it returns, since the ciphers' schedules and the digest's state live
// there.
[[nodiscard]] std::unique_ptr<PlatformThread> StartStandardThread(std::function<void()> routine);

// Keeps the process's secrets to itself: no core file, and no other process of the same user may
// read its memory or attach to it. The first call of both programs' main.
void ProtectProcessSecrets() noexcept;

// Keeps the pages that hold these bytes out of swap while the system allows it; best effort, since
// an unprivileged process may lock only a little. UnlockMemory gives the pages back once the bytes
// are wiped: a page's lock does not count, so it unlocks whatever else shares the page.
void LockMemory(const void* data, std::size_t size) noexcept;
void UnlockMemory(const void* data, std::size_t size) noexcept;

}  // namespace morvex
