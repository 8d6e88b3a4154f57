// The platform layer on POSIX systems: the only file of the engine that calls the operating system.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <thread>
#include <utility>

#include "jobs/Platform.h"

namespace morvex {

namespace {

// A path with a zero byte in it would name a different, shorter path to the system.
bool IsUsablePath(const std::string& path) {
    return !path.empty() && path.find('\0') == std::string::npos;
}

std::error_code LastError() { return {errno, std::generic_category()}; }

// Reads until the span is full, the file ends or the system fails.
template <class ReadOnce>
std::optional<std::size_t> ReadFully(std::span<std::uint8_t> bytes, ReadOnce readOnce, std::error_code& error) {
    std::size_t total = 0;
    while (total < bytes.size()) {
        const ssize_t got = readOnce(bytes.data() + total, bytes.size() - total, total);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = LastError();
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        total += static_cast<std::size_t>(got);
    }
    return total;
}

class PosixSource final : public PlatformSource {
public:
    explicit PosixSource(int descriptor) : descriptor_(descriptor) {}
    ~PosixSource() override { Close(); }
    PosixSource(const PosixSource&) = delete;
    PosixSource& operator=(const PosixSource&) = delete;

    std::optional<std::uint64_t> Size() override {
        struct stat status {};
        if (::fstat(descriptor_, &status) != 0) {
            error_ = LastError();
            return std::nullopt;
        }
        if (!S_ISREG(status.st_mode) || status.st_size < 0) {
            error_ = std::make_error_code(std::errc::invalid_argument);
            return std::nullopt;
        }
        return static_cast<std::uint64_t>(status.st_size);
    }

    std::optional<std::size_t> Read(std::span<std::uint8_t> bytes) override {
        return ReadFully(
            bytes, [this](std::uint8_t* at, std::size_t count, std::size_t) { return ::read(descriptor_, at, count); },
            error_);
    }

    std::optional<std::size_t> ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) override {
        return ReadFully(
            bytes,
            [this, offset](std::uint8_t* at, std::size_t count, std::size_t done) {
                return ::pread(descriptor_, at, count, static_cast<off_t>(offset + done));
            },
            error_);
    }

    void Close() override {
        // The file was only read: a failure to close it loses nothing.
        if (const int descriptor = std::exchange(descriptor_, -1); descriptor >= 0) {
            ::close(descriptor);
        }
    }

    std::error_code Error() const override { return error_; }

private:
    int descriptor_;
    std::error_code error_;
};

class PosixOutput final : public PlatformOutput {
public:
    explicit PosixOutput(int descriptor) : descriptor_(descriptor) {}
    ~PosixOutput() override {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
    }
    PosixOutput(const PosixOutput&) = delete;
    PosixOutput& operator=(const PosixOutput&) = delete;

    bool Write(std::span<const std::uint8_t> bytes) override {
        std::size_t total = 0;
        while (total < bytes.size()) {
            const ssize_t put = ::write(descriptor_, bytes.data() + total, bytes.size() - total);
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                error_ = LastError();
                return false;
            }
            if (put == 0) {
                error_ = std::make_error_code(std::errc::io_error);
                return false;
            }
            total += static_cast<std::size_t>(put);
        }
#if defined(__linux__)
        // Starts the write-back of these bytes now, without waiting for it, so that the flush at the
        // end of a job finds little left to do. Purely a hint: its result changes nothing.
        (void)::sync_file_range(descriptor_, static_cast<off_t>(written_), static_cast<off_t>(total),
                                SYNC_FILE_RANGE_WRITE);
#endif
        written_ += total;
        return true;
    }

    bool SetEnd(std::uint64_t length) override { return Check(::ftruncate(descriptor_, static_cast<off_t>(length))); }

    bool Flush() override { return Check(::fsync(descriptor_)); }

    bool Close() override {
        const int descriptor = std::exchange(descriptor_, -1);
        // After a failed close the descriptor is gone all the same; retrying could close another file.
        return descriptor >= 0 && Check(::close(descriptor));
    }

    std::error_code Error() const override { return error_; }

private:
    bool Check(int result) {
        if (result != 0) {
            error_ = LastError();
        }
        return result == 0;
    }

    int descriptor_;
    std::uint64_t written_ = 0;  // writes are sequential from the file's start
    std::error_code error_;
};

class PosixPlatform final : public Platform {
public:
    Opened<PlatformSource> OpenSource(const std::string& path) override {
        if (!IsUsablePath(path)) {
            return {nullptr, std::make_error_code(std::errc::no_such_file_or_directory)};
        }
        // Non-blocking, so that a FIFO cannot hang the request; directories are no files to read.
        const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (descriptor < 0) {
            return {nullptr, LastError()};
        }
        auto file = std::make_unique<PosixSource>(descriptor);
        struct stat status {};
        if (::fstat(descriptor, &status) != 0) {
            return {nullptr, LastError()};
        }
        if (S_ISDIR(status.st_mode)) {
            return {nullptr, std::make_error_code(std::errc::is_a_directory)};
        }
        const int flags = ::fcntl(descriptor, F_GETFL);
        if (flags < 0 || ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            return {nullptr, LastError()};
        }
        return {std::move(file), {}};
    }

    Opened<PlatformOutput> CreateOutput(const std::string& path) override {
        if (!IsUsablePath(path)) {
            return {nullptr, std::make_error_code(std::errc::no_such_file_or_directory)};
        }
        // O_EXCL refuses every existing name, a symbolic link included (dangling or not), and
        // O_NOFOLLOW keeps it so even where O_EXCL alone would be weakened.
        const int descriptor =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, S_IRUSR | S_IWUSR);
        if (descriptor < 0) {
            return {nullptr, LastError()};
        }
        return {std::make_unique<PosixOutput>(descriptor), {}};
    }

    std::error_code RemoveFile(const std::string& path) override {
        if (!IsUsablePath(path)) {
            return std::make_error_code(std::errc::no_such_file_or_directory);
        }
        return ::unlink(path.c_str()) == 0 ? std::error_code{} : LastError();
    }

    std::unique_ptr<PlatformThread> StartThread(std::function<void()> routine) override {
        return StartStandardThread(std::move(routine));
    }

    void Sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }

    std::uint64_t NowSeconds() override {
        const std::time_t now = std::time(nullptr);
        return now < 0 ? 0 : static_cast<std::uint64_t>(now);
    }
};

}  // namespace

Platform& NativePlatform() {
    static PosixPlatform platform;
    return platform;
}

}  // namespace morvex
