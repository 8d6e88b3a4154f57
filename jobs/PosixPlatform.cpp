// The platform layer on POSIX systems: the only file of the engine that calls the operating system.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <thread>
#include <utility>

#include "jobs/PageRange.h"
#include "jobs/Platform.h"
#include "jobs/PosixPlatform.h"

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

// Where an output goes: the folder it is created in and the name it gets there.
struct OutputPlace {
    std::string folder;
    std::string name;
};

OutputPlace SplitOutputPath(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// The identity of a file, which no rename changes and no other file shares while it exists.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The hidden name's random part: only needs to make a clash with another job unlikely, since the
// name is created exclusively and a clash just tries another.
std::string HiddenSuffix() {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::uint8_t random[6] = {};
    if (::getentropy(random, sizeof random) != 0) {
        static std::atomic<unsigned> counter{0};
        const auto mixed = static_cast<std::uint64_t>(::getpid()) * 2654435761U ^
                           static_cast<std::uint64_t>(std::time(nullptr)) ^ (counter.fetch_add(1) * 40503U);
        for (std::size_t i = 0; i < sizeof random; ++i) {
            random[i] = static_cast<std::uint8_t>(mixed >> (8 * i));
        }
    }
    std::string suffix;
    for (const std::uint8_t byte : random) {
        suffix += kLetters[byte % (sizeof kLetters - 1)];
    }
    return suffix;
}

// An output that has no name until Publish: unnamed where the system offers that, else under a
// hidden name of its own (see Platform.h). Every name is resolved in the folder opened when the
// output was created, so a folder renamed meanwhile cannot redirect the publication.
class PosixNewOutput final : public PlatformNewOutput {
public:
    PosixNewOutput(int folder, std::string folderPath, int descriptor, std::string name, std::string hidden,
                   FileIdentity identity)
        : folder_(folder), folderPath_(std::move(folderPath)), descriptor_(descriptor), name_(std::move(name)),
          hidden_(std::move(hidden)), identity_(identity) {}
    ~PosixNewOutput() override {
        if (state_ == State::Writing) {
            (void)Discard();
        }
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
        ::close(folder_);
    }
    PosixNewOutput(const PosixNewOutput&) = delete;
    PosixNewOutput& operator=(const PosixNewOutput&) = delete;

    bool Write(std::span<const std::uint8_t> bytes) override {
        std::size_t done = 0;
        const std::size_t direct = DirectBytes(bytes);
        if (direct > 0 && SetDirect(true) && !Put(bytes.first(direct), done)) {
            return false;
        }
        if (done == bytes.size()) {
            return true;
        }
        const std::uint64_t cached = written_;
        if (!SetDirect(false) || !Put(bytes.subspan(done), done)) {
            return false;
        }
#if defined(__linux__)
        // Starts the write-back of these bytes now, without waiting for it, so that the flush at the
        // end of a job finds little left to do. Purely a hint: its result changes nothing.
        (void)::sync_file_range(descriptor_, static_cast<off_t>(cached), static_cast<off_t>(written_ - cached),
                                SYNC_FILE_RANGE_WRITE);
#endif
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

    void PreferCache() noexcept override { cachePreferred_.store(true, std::memory_order_relaxed); }

    bool Publish() override {
        if (state_ != State::Writing || descriptor_ < 0) {
            error_ = std::make_error_code(std::errc::invalid_argument);
            return false;
        }
        if (!(hidden_.empty() ? LinkUnnamed() : LinkHidden())) {
            return false;
        }
        // The new name is data of the folder: without this, a power cut may lose it though the
        // file's bytes are safe. A file system that cannot flush folders says EINVAL.
        if (::fsync(folder_) != 0 && errno != EINVAL) {
            error_ = LastError();
            // Not a success after all: the name goes again, while it is still this file's.
            if (IsOurs(name_)) {
                (void)::unlinkat(folder_, name_.c_str(), 0);
            }
            hidden_.clear();  // the file has no name left; it vanishes with its descriptor
            return false;
        }
        state_ = State::Published;
        return true;
    }

    DiscardResult Discard() override {
        if (state_ != State::Writing) {
            return {};
        }
        state_ = State::Discarded;
        (void)Close();
        if (hidden_.empty()) {
            return {};  // an unnamed file is gone with its last descriptor
        }
        const std::string left = folderPath_ + "/" + hidden_;
        struct stat status {};
        if (::fstatat(folder_, hidden_.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            return errno == ENOENT ? DiscardResult{} : DiscardResult{LastError(), left};
        }
        if (FileIdentity{status.st_dev, status.st_ino} != identity_) {
            return {make_error_code(JobError::OutputReplaced), left};
        }
        if (::unlinkat(folder_, hidden_.c_str(), 0) != 0) {
            return {LastError(), left};
        }
        return {};
    }

private:
    enum class State {
        Writing,
        Published,
        Discarded,
    };

    bool Check(int result) {
        if (result != 0) {
            error_ = LastError();
        }
        return result == 0;
    }

    bool Fail() {
        error_ = LastError();
        return false;
    }

    // Large outputs go straight to the disk: through the cache, every byte would be copied once
    // more and written back later by the kernel, on the same two cores that the cipher keeps busy,
    // and nobody reads an output the moment it is written. But the disk then takes one write at a
    // time, and where it answers slowly, writes through the cache, many at once, are faster: once
    // the job finds itself waiting for the file (PreferCache), the rest goes that way. Small
    // writes and the tail of a file stay cached, where they cost less than a wait for the disk.
    // The part of bytes to write so, or 0.
    [[nodiscard]] std::size_t DirectBytes(std::span<const std::uint8_t> bytes) const noexcept {
        constexpr std::size_t kDirectMinimum = std::size_t{256} << 10;
        if (directRefused_ || cachePreferred_.load(std::memory_order_relaxed) || bytes.size() < kDirectMinimum ||
            written_ % kOutputAlignment != 0 || reinterpret_cast<std::uintptr_t>(bytes.data()) % kOutputAlignment != 0) {
            return 0;
        }
        return bytes.size() - bytes.size() % kOutputAlignment;
    }

    // True once the descriptor writes as asked. A file system without direct writes says so here or
    // at the first write (EINVAL), and the file goes on through the cache.
    bool SetDirect(bool on) {
#if defined(__linux__) && defined(O_DIRECT)
        if (direct_ == on) {
            return true;
        }
        const int flags = ::fcntl(descriptor_, F_GETFL);
        if (flags < 0 || ::fcntl(descriptor_, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) != 0) {
            if (on) {
                directRefused_ = true;
                return false;
            }
            return Fail();
        }
        direct_ = on;
        return true;
#else
        return !on;
#endif
    }

    // Writes bytes at written_ on, counting them into done as well. A direct write that the file
    // system refuses, or that it takes only in part, ends early with nothing lost: the caller
    // writes the rest through the cache.
    bool Put(std::span<const std::uint8_t> bytes, std::size_t& done) {
        std::size_t total = 0;
        while (total < bytes.size()) {
            const ssize_t put = ::write(descriptor_, bytes.data() + total, bytes.size() - total);
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (direct_ && errno == EINVAL) {
                    directRefused_ = true;
                    return true;
                }
                return Fail();
            }
            if (put == 0) {
                error_ = std::make_error_code(std::errc::io_error);
                return false;
            }
            total += static_cast<std::size_t>(put);
            done += static_cast<std::size_t>(put);
            written_ += static_cast<std::uint64_t>(put);
            if (direct_ && written_ % kOutputAlignment != 0) {
                return true;
            }
        }
        return true;
    }

    [[nodiscard]] bool IsOurs(const std::string& name) const {
        struct stat status {};
        return ::fstatat(folder_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
               FileIdentity{status.st_dev, status.st_ino} == identity_;
    }

    bool LinkUnnamed() {
#if defined(__linux__) && defined(AT_EMPTY_PATH)
        // linkat never replaces: an existing name fails with EEXIST.
        if (::linkat(descriptor_, "", folder_, name_.c_str(), AT_EMPTY_PATH) == 0) {
            return true;
        }
        if (errno == EEXIST) {
            return Fail();
        }
        // Linking a descriptor by its empty path needs a privilege; its entry under /proc names the
        // same file for everyone.
        const std::string entry = "/proc/self/fd/" + std::to_string(descriptor_);
        if (::linkat(AT_FDCWD, entry.c_str(), folder_, name_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return true;
        }
        return Fail();
#else
        errno = ENOTSUP;
        return Fail();
#endif
    }

    bool LinkHidden() {
        if (::linkat(folder_, hidden_.c_str(), folder_, name_.c_str(), 0) == 0) {
            // A failure leaves the whole output with a second, hidden name: untidy, but no loss.
            if (IsOurs(hidden_)) {
                (void)::unlinkat(folder_, hidden_.c_str(), 0);
            }
            hidden_.clear();
            return true;
        }
        if (errno == EEXIST) {
            return Fail();
        }
#if defined(__linux__) && defined(RENAME_NOREPLACE)
        // Some file systems have no links; a rename that refuses to replace serves as well.
        if (errno == EPERM || errno == EOPNOTSUPP || errno == EMLINK) {
            if (::renameat2(folder_, hidden_.c_str(), folder_, name_.c_str(), RENAME_NOREPLACE) == 0) {
                hidden_.clear();
                return true;
            }
        }
#endif
        return Fail();
    }

    int folder_;
    std::string folderPath_;
    int descriptor_;
    std::string name_;
    std::string hidden_;  // empty for an unnamed file, and once published
    FileIdentity identity_;
    State state_ = State::Writing;
    std::uint64_t written_ = 0;  // writes are sequential from the file's start
    bool direct_ = false;         // the descriptor bypasses the cache
    bool directRefused_ = false;  // the file system will not, or not with this alignment
    std::atomic<bool> cachePreferred_{false};  // direct writes held the job back
    std::error_code error_;
};

class PosixPlatform final : public Platform {
public:
    explicit PosixPlatform(bool unnamedOutputs) : unnamedOutputs_(unnamedOutputs) {}

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

    Opened<PlatformNewOutput> CreateOutput(const std::string& path) override {
        if (!IsUsablePath(path)) {
            return {nullptr, std::make_error_code(std::errc::no_such_file_or_directory)};
        }
        OutputPlace place = SplitOutputPath(path);
        // These always name a folder that exists.
        if (place.name.empty() || place.name == "." || place.name == "..") {
            return {nullptr, std::make_error_code(std::errc::file_exists)};
        }
        const int folder = ::open(place.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0) {
            return {nullptr, LastError()};
        }
        // Any entry refuses the name, a symbolic link too, dangling or not. A name that appears
        // after this check makes the publication fail instead.
        struct stat status {};
        const int found = ::fstatat(folder, place.name.c_str(), &status, AT_SYMLINK_NOFOLLOW);
        if (found == 0 || errno != ENOENT) {
            const std::error_code error = found == 0 ? std::make_error_code(std::errc::file_exists) : LastError();
            ::close(folder);
            return {nullptr, error};
        }
        std::string hidden;
        int descriptor = -1;
#if defined(__linux__) && defined(O_TMPFILE)
        if (unnamedOutputs_) {
            descriptor = ::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR);
            // Only a file system without unnamed files falls back on a hidden name; any other
            // refusal (no right to write there, a read-only or full disk) is the answer.
            if (descriptor < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
                const std::error_code error = LastError();
                ::close(folder);
                return {nullptr, error};
            }
        }
#endif
        // The hidden name must fit where the final name fits.
        const std::string stem = "." + place.name.substr(0, std::min<std::size_t>(place.name.size(), 200)) + ".";
        for (int attempt = 0; descriptor < 0 && attempt < 100; ++attempt) {
            hidden = stem + HiddenSuffix();
            descriptor = ::openat(folder, hidden.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                                  S_IRUSR | S_IWUSR);
            if (descriptor < 0 && errno != EEXIST) {
                break;
            }
        }
        if (descriptor < 0) {
            const std::error_code error = LastError();
            ::close(folder);
            return {nullptr, error};
        }
        if (::fstat(descriptor, &status) != 0) {
            const std::error_code error = LastError();
            if (!hidden.empty()) {
                (void)::unlinkat(folder, hidden.c_str(), 0);
            }
            ::close(descriptor);
            ::close(folder);
            return {nullptr, error};
        }
        return {std::make_unique<PosixNewOutput>(folder, std::move(place.folder), descriptor, std::move(place.name),
                                                 std::move(hidden), FileIdentity{status.st_dev, status.st_ino}),
                {}};
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

private:
    bool unnamedOutputs_;
};

}  // namespace

Platform& NativePlatform() {
    static PosixPlatform platform(true);
    return platform;
}

CodePage HomeCodePage() noexcept { return CodePage::Windows1252; }

Platform& HiddenNamePlatform() {
    static PosixPlatform platform(false);
    return platform;
}

void ProtectProcessSecrets() noexcept {
    const rlimit none{0, 0};
    (void)::setrlimit(RLIMIT_CORE, &none);
#if defined(__linux__)
    // Also keeps a core file from a pipe handler (core_pattern "|..."), which RLIMIT_CORE does not
    // stop, and other processes of the same user from reading /proc/PID/mem or attaching.
    (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
}

namespace {

std::pair<void*, std::size_t> Pages(const void* data, std::size_t size) {
    static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE) > 0 ? ::sysconf(_SC_PAGESIZE) : 4096);
    return PageRange(data, size, page);
}

}  // namespace

void LockMemory(const void* data, std::size_t size) noexcept {
    if (size > 0) {
        const auto [begin, length] = Pages(data, size);
        (void)::mlock(begin, length);
    }
}

void UnlockMemory(const void* data, std::size_t size) noexcept {
    if (size > 0) {
        const auto [begin, length] = Pages(data, size);
        (void)::munlock(begin, length);
    }
}

}  // namespace morvex
