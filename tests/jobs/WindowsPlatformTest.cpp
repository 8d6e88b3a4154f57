// Windows only: what the platform layer promises there beyond the portable flows, the share modes,
// names outside the code page, long paths, devices and links.

#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "jobs/Jobs.h"
#include "jobs/Platform.h"
#include "jobs/WideText.h"
#include "tests/jobs/JobTestSupport.h"

namespace morvex::test {
namespace {

namespace fs = std::filesystem;

fs::path Utf8Path(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

// Opens the file the way another program would; true if the system allowed it.
bool OthersCanOpen(const std::string& path, DWORD access, DWORD share) {
    const HANDLE handle = ::CreateFileW(WidenUtf8(path)->c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << path;
        return false;
    }
    ::CloseHandle(handle);
    return true;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// While a job holds them, the source can be read by others but not changed or deleted, and the
// output written by others but not read.
TEST(WindowsPlatformTest, TheSourceIsSharedWithReadersAndTheOutputWithWriters) {
    Fixture f(100);
    Platform& platform = NativePlatform();
    const auto source = platform.OpenSource(f.source).file;
    ASSERT_TRUE(source);
    EXPECT_TRUE(OthersCanOpen(f.source, GENERIC_READ, kShareAll));
    EXPECT_FALSE(OthersCanOpen(f.source, GENERIC_WRITE, kShareAll));
    EXPECT_FALSE(::DeleteFileW(WidenUtf8(f.source)->c_str()));

    const std::string outputName = f.source + ".enc";
    const auto output = platform.CreateOutput(outputName).file;
    ASSERT_TRUE(output);
    EXPECT_TRUE(OthersCanOpen(outputName, GENERIC_WRITE, kShareAll));
    EXPECT_FALSE(OthersCanOpen(outputName, GENERIC_READ, kShareAll));
    EXPECT_EQ(platform.CreateOutput(outputName).error, std::errc::file_exists) << "created new only";
    ASSERT_TRUE(output->Close());
    source->Close();
    EXPECT_FALSE(platform.RemoveFile(outputName));
    EXPECT_FALSE(fs::exists(outputName));
}

// Names beyond any single code page, in a folder beyond it too, and a path longer than MAX_PATH:
// whole jobs there and back, each file under exactly its name. A name that is no UTF-8 names no
// file at all.
TEST(WindowsPlatformTest, EveryNameOpensAndBadUtf8NamesNothing) {
    Fixture f(0);
    const std::string longFolder = f.Path(std::string(120, 'd')) + "\\" + std::string(120, 'e');
    fs::create_directories(Utf8Path(f.Path("Ordner \xc3\xa4\xc3\xb6\xc3\xbc")));
    fs::create_directories(longFolder);
    const std::string names[] = {
        f.Path("Gr\xc3\xbc\xc3\x9f" "e.txt"),                                      // Latin-1 range
        f.Path("\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e \xd0\x96.txt"),               // CJK and Cyrillic
        f.Path("Ordner \xc3\xa4\xc3\xb6\xc3\xbc\\smile \xf0\x9f\x98\x80.bin"),     // a surrogate pair
        longFolder + "\\" + std::string(40, 'f') + ".dat",                           // past MAX_PATH
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        ASSERT_GT(name.size(), 4U);
        const Bytes plain = PatternBytes(3000, static_cast<std::uint32_t>(name.size()));
        {
            auto file = NativePlatform().CreateOutput(name).file;
            ASSERT_TRUE(file);
            ASSERT_TRUE(file->Write(plain));
            ASSERT_TRUE(file->Close());
        }
        ASSERT_TRUE(fs::exists(Utf8Path(name)));
        f.state.choice.chosenPath = name;
        ASSERT_EQ(f.Run(false), JobOutcome::Done) << f.Last().text;
        ASSERT_FALSE(NativePlatform().RemoveFile(name));
        f.state.choice.chosenPath = name + ".enc";
        ASSERT_EQ(f.Run(true), JobOutcome::Done) << f.Last().text;
        const auto back = NativePlatform().OpenSource(name).file;
        ASSERT_TRUE(back);
        Bytes read(plain.size() + 1);
        EXPECT_EQ(back->Read(read), plain.size());
        read.resize(plain.size());
        EXPECT_TRUE(read == plain);
    }
    // Not through fs::path, which would turn the stray byte into valid text.
    const std::string bad = f.root.string() + "\\bad \xff name";
    EXPECT_EQ(NativePlatform().CreateOutput(bad).error, std::errc::illegal_byte_sequence);
    EXPECT_EQ(NativePlatform().OpenSource(bad).error, std::errc::illegal_byte_sequence);
    EXPECT_EQ(NativePlatform().RemoveFile(bad), std::errc::illegal_byte_sequence);
}

// A device is no file: as a source its size is unknown, as an output it was never created (and so
// the request for NUL stops at its output, NUL.enc, which is the same device).
TEST(WindowsPlatformTest, DeviceNamesAreNeitherSourcesNorOutputs) {
    Fixture f(10);
    const auto device = NativePlatform().OpenSource("NUL").file;
    ASSERT_TRUE(device);
    EXPECT_FALSE(device->Size());
    const auto before = f.Snapshot();
    EXPECT_FALSE(NativePlatform().CreateOutput("NUL").file);
    EXPECT_FALSE(NativePlatform().CreateOutput(f.Path("NUL")).file);
    f.state.choice.chosenPath = "NUL";
    EXPECT_FALSE(f.Run(false));
    EXPECT_EQ(f.Last().text, "Unable to create the output file");
    EXPECT_EQ(f.Snapshot(), before);
}

// A link under the output's name, dangling or not, refuses the output and stays as it was.
TEST(WindowsPlatformTest, ALinkUnderTheOutputNameIsNeverFollowed) {
    for (const bool dangling : {true, false}) {
        SCOPED_TRACE(dangling ? "dangling" : "to a file");
        Fixture f(10);
        const std::string target = f.Path("target");
        if (!dangling) {
            WriteFile(target, PatternBytes(5, 5));
        }
        const std::wstring link = *WidenUtf8(f.Output(false));
        // Wine reports success without making the link: only a link that is there counts.
        const bool made = ::CreateSymbolicLinkW(link.c_str(), WidenUtf8(target)->c_str(),
                                                SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != 0;
        const DWORD attributes = ::GetFileAttributesW(link.c_str());
        if (!made || attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            GTEST_SKIP() << "no symbolic links on this system";
        }
        const auto before = f.Snapshot();
        EXPECT_FALSE(f.Run(false));
        EXPECT_EQ(f.Last().text, "Unable to create the output file");
        EXPECT_EQ(f.Snapshot(), before);
        EXPECT_EQ(fs::exists(target), !dangling);
    }
}

// The cut and a read at an offset leave the file's position where it was, as ftruncate and pread
// do, and the clock counts from 1970.
TEST(WindowsPlatformTest, SetEndAndReadAtKeepThePositionAndTheClockIsUnixTime) {
    Fixture f(0);
    const std::string name = f.Path("cut");
    const Bytes first = PatternBytes(10, 1);
    {
        auto file = NativePlatform().CreateOutput(name).file;
        ASSERT_TRUE(file);
        ASSERT_TRUE(file->Write(first));
        ASSERT_TRUE(file->SetEnd(4));
        ASSERT_TRUE(file->Write(PatternBytes(2, 2)));
        ASSERT_TRUE(file->Flush());
        ASSERT_TRUE(file->Close());
    }
    const Bytes content = ReadFile(name);
    ASSERT_EQ(content.size(), 12U);
    EXPECT_EQ(Bytes(content.begin(), content.begin() + 4), Bytes(first.begin(), first.begin() + 4));
    EXPECT_EQ(Bytes(content.begin() + 4, content.begin() + 10), Bytes(6, 0));
    // A read at an offset leaves the sequential reads where they were, as pread does.
    const auto source = NativePlatform().OpenSource(name).file;
    ASSERT_TRUE(source);
    Bytes piece(3);
    Bytes aside(5);
    ASSERT_EQ(source->Read(piece), 3U);
    ASSERT_EQ(source->ReadAt(1, aside), 5U);
    EXPECT_EQ(aside, Bytes(content.begin() + 1, content.begin() + 6));
    ASSERT_EQ(source->Read(piece), 3U);
    EXPECT_EQ(piece, Bytes(content.begin() + 3, content.begin() + 6));
    EXPECT_EQ(source->ReadAt(11, aside), 1U);

    const auto now = static_cast<std::uint64_t>(std::time(nullptr));
    EXPECT_LE(NativePlatform().NowSeconds() - now, 2U);
}

}  // namespace
}  // namespace morvex::test
