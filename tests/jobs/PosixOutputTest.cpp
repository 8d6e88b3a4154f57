// Linux only: large outputs written past the system's cache, their small parts through it.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "jobs/Platform.h"
#include "tests/jobs/JobTestSupport.h"

namespace morvex::test {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

// How many of the pages of [offset, offset + length) of the file are in the cache.
std::size_t CachedPages(const std::string& path, std::size_t offset, std::size_t length) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(descriptor, 0) << path;
    void* mapped = ::mmap(nullptr, offset + length, PROT_READ, MAP_SHARED, descriptor, 0);
    ::close(descriptor);
    EXPECT_NE(mapped, MAP_FAILED);
    if (mapped == MAP_FAILED) {
        return 0;
    }
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> resident((offset + length + page - 1) / page);
    EXPECT_EQ(::mincore(mapped, offset + length, resident.data()), 0);
    ::munmap(mapped, offset + length);
    std::size_t count = 0;
    for (std::size_t i = offset / page; i < resident.size(); ++i) {
        count += resident[i] & 1U;
    }
    return count;
}

struct AlignedFree {
    void operator()(std::uint8_t* bytes) const { ::operator delete[](bytes, std::align_val_t{kOutputAlignment}); }
};

// Whether the folder's file system takes direct writes past its cache (tmpfs, for one, has no other place).
bool WritesPastTheCache(const std::string& probe) {
    const int descriptor = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_DIRECT | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        return false;
    }
    const std::unique_ptr<std::uint8_t[], AlignedFree> page(
        static_cast<std::uint8_t*>(::operator new[](kOutputAlignment, std::align_val_t{kOutputAlignment})));
    std::memset(page.get(), 1, kOutputAlignment);
    const bool written = ::write(descriptor, page.get(), kOutputAlignment) == static_cast<ssize_t>(kOutputAlignment);
    ::close(descriptor);
    return written && CachedPages(probe, 0, kOutputAlignment) == 0;
}

// Whole aligned transfers go past the cache; a misaligned buffer, a tail and whatever follows an
// unaligned end go through it; the file holds every byte in order either way.
TEST(PosixOutputTest, AlignedTransfersPassTheCacheAndEveryByteArrives) {
    Fixture f(0);
    const Bytes bytes = PatternBytes(5 * kMiB + 7, 41);
    const std::unique_ptr<std::uint8_t[], AlignedFree> aligned(
        static_cast<std::uint8_t*>(::operator new[](bytes.size(), std::align_val_t{kOutputAlignment})));
    std::memcpy(aligned.get(), bytes.data(), bytes.size());
    Bytes shifted(kMiB + 1);  // an odd address is never aligned
    std::memcpy(shifted.data() + 1, bytes.data() + kMiB, kMiB);

    const std::string path = f.Path("out");
    auto output = NativePlatform().CreateOutput(path).file;
    ASSERT_TRUE(output);
    const auto from = [&](std::size_t offset, std::size_t length) {
        return std::span<const std::uint8_t>(aligned.get() + offset, length);
    };
    ASSERT_TRUE(output->Write(from(0, kMiB)));
    ASSERT_TRUE(output->Write(std::span<const std::uint8_t>(shifted.data() + 1, kMiB)));
    ASSERT_TRUE(output->Write(from(2 * kMiB, kMiB + 5)));
    ASSERT_TRUE(output->Write(from(3 * kMiB + 5, 2 * kMiB + 2)));
    ASSERT_TRUE(output->Flush());
    ASSERT_TRUE(output->Publish());
    ASSERT_TRUE(output->Close());

    if (WritesPastTheCache(f.Path("probe"))) {
        EXPECT_EQ(CachedPages(path, 0, kMiB), 0U) << "the first transfer went through the cache";
        EXPECT_EQ(CachedPages(path, 2 * kMiB, kMiB), 0U) << "the aligned part of the third went through the cache";
    }
    EXPECT_EQ(ReadFile(path), bytes);  // last: reading fills the cache
}

}  // namespace
}  // namespace morvex::test
