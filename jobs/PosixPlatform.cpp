// The platform layer on POSIX systems: the only file of the engine that calls the operating system.

#include <fcntl.h>
#include <pthread.h>
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

class PosixFile final : public PlatformFile {
public:
    explicit PosixFile(int descriptor) : descriptor_(descriptor) {}
    ~PosixFile() override {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
    }
    PosixFile(const PosixFile&) = delete;
    PosixFile& operator=(const PosixFile&) = delete;

    std::optional<std::uint64_t> Size() override {
        struct stat status {};
        if (::fstat(descriptor_, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0) {
            return std::nullopt;
        }
        return static_cast<std::uint64_t>(status.st_size);
    }

    std::optional<std::size_t> Read(std::span<std::uint8_t> bytes) override {
        std::size_t total = 0;
        while (total < bytes.size()) {
            const ssize_t got = ::read(descriptor_, bytes.data() + total, bytes.size() - total);
            if (got < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return std::nullopt;
            }
            if (got == 0) {
                break;
            }
            total += static_cast<std::size_t>(got);
        }
        return total;
    }

    bool Write(std::span<const std::uint8_t> bytes) override {
        std::size_t total = 0;
        while (total < bytes.size()) {
            const ssize_t put = ::write(descriptor_, bytes.data() + total, bytes.size() - total);
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            if (put == 0) {
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

    bool SetEnd(std::uint64_t length) override {
        return ::ftruncate(descriptor_, static_cast<off_t>(length)) == 0;
    }

    bool Flush() override { return ::fsync(descriptor_) == 0; }

    bool Close() override {
        const int descriptor = std::exchange(descriptor_, -1);
        // After a failed close the descriptor is gone all the same; retrying could close another file.
        return descriptor >= 0 && ::close(descriptor) == 0;
    }

private:
    int descriptor_;
    std::uint64_t written_ = 0;  // writes are sequential from the file's start
};

class PosixPlatform final : public Platform {
public:
    std::unique_ptr<PlatformFile> OpenForReading(const std::string& path) override {
        if (!IsUsablePath(path)) {
            return nullptr;
        }
        // Non-blocking, so that a FIFO cannot hang the request; directories are no files to read.
        const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (descriptor < 0) {
            return nullptr;
        }
        auto file = std::make_unique<PosixFile>(descriptor);
        struct stat status {};
        if (::fstat(descriptor, &status) != 0 || S_ISDIR(status.st_mode)) {
            return nullptr;
        }
        const int flags = ::fcntl(descriptor, F_GETFL);
        if (flags < 0 || ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            return nullptr;
        }
        return file;
    }

    std::unique_ptr<PlatformFile> CreateNew(const std::string& path) override {
        if (!IsUsablePath(path)) {
            return nullptr;
        }
        // O_EXCL refuses every existing name, a symbolic link included (dangling or not), and
        // O_NOFOLLOW keeps it so even where O_EXCL alone would be weakened.
        const int descriptor =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, S_IRUSR | S_IWUSR);
        if (descriptor < 0) {
            return nullptr;
        }
        return std::make_unique<PosixFile>(descriptor);
    }

    bool RemoveFile(const std::string& path) override { return IsUsablePath(path) && ::unlink(path.c_str()) == 0; }

    bool StartThread(std::function<void()> routine) override {
        auto* owned = new (std::nothrow) std::function<void()>(std::move(routine));
        if (owned == nullptr) {
            return false;
        }
        pthread_attr_t attributes;
        if (::pthread_attr_init(&attributes) != 0) {
            delete owned;
            return false;
        }
        ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        const int error = ::pthread_create(&thread, &attributes, &RunRoutine, owned);
        ::pthread_attr_destroy(&attributes);
        if (error != 0) {
            delete owned;
            return false;
        }
        return true;
    }

    void Sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }

    std::uint64_t NowSeconds() override {
        const std::time_t now = std::time(nullptr);
        return now < 0 ? 0 : static_cast<std::uint64_t>(now);
    }

private:
    static void* RunRoutine(void* argument) {
        auto* routine = static_cast<std::function<void()>*>(argument);
        (*routine)();
        delete routine;
        return nullptr;
    }
};

}  // namespace

Platform& NativePlatform() {
    static PosixPlatform platform;
    return platform;
}

}  // namespace morvex
