#include "cli/RequestProbe.h"

#include <cerrno>
#include <cstdint>
#include <filesystem>

#include "jobs/ContainerFormat.h"
#include "jobs/Platform.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace morvex {

namespace {

constexpr std::string_view kSuffix = kContainerSuffix;

// The request accepts sizes below this, the value by which a 32-bit size call reports failure.
constexpr std::uint64_t kSizeLimit = 0xFFFFFFFFULL;

ProbeResult Refused(Refusal refusal, std::error_code cause, std::string outputName) {
    return {refusal, cause, std::move(outputName)};
}

#ifndef _WIN32
std::error_code LastError() { return {errno, std::generic_category()}; }

// The folder a new file of that name lands in.
std::string FolderOf(const std::string& path) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}
#endif

}  // namespace

ProbeResult ProbeRequest(CliCommand command, const std::string& path) {
    const bool decrypt = command == CliCommand::Decrypt;
    if (path.empty()) {
        return Refused(decrypt ? Refusal::NoFileToDecrypt : Refusal::NoFileToEncrypt, {}, {});
    }
    std::string output = path + std::string(kSuffix);
    if (decrypt) {
        if (path.size() < kSuffix.size() || path.compare(path.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
            return Refused(Refusal::NotAContainer, {}, {});
        }
        output = path.substr(0, path.size() - kSuffix.size());
    }

#ifdef _WIN32
    // Names are UTF-8 inside; a path made from a plain string would take them in the ANSI code page.
    const auto utf8 = [](const std::string& name) { return std::filesystem::path(std::u8string(name.begin(), name.end())); };
    // Opened as the request will open it, so that a refusal gives the system's own reason.
    if (Opened<PlatformSource> opened = NativePlatform().OpenSource(path); !opened.file) {
        return Refused(Refusal::CannotOpenSource, opened.error, output);
    }
    std::error_code error;
    const auto source = std::filesystem::status(utf8(path), error);
    if (error || !std::filesystem::exists(source)) {
        return Refused(Refusal::CannotOpenSource,
                       error ? error : std::make_error_code(std::errc::no_such_file_or_directory), output);
    }
    if (std::filesystem::is_directory(source)) {
        return Refused(Refusal::CannotOpenSource, std::make_error_code(std::errc::is_a_directory), output);
    }
    if (output.empty()) {
        return Refused(Refusal::CannotCreateOutput, std::make_error_code(std::errc::no_such_file_or_directory), output);
    }
    if (std::filesystem::exists(std::filesystem::symlink_status(utf8(output), error))) {
        return Refused(Refusal::CannotCreateOutput, std::make_error_code(std::errc::file_exists), output);
    }
    if (!std::filesystem::is_regular_file(source)) {
        return Refused(Refusal::CannotDetermineSize, std::make_error_code(std::errc::invalid_argument), output);
    }
    const std::uintmax_t size = std::filesystem::file_size(utf8(path), error);
    if (error || size >= kSizeLimit) {
        return Refused(Refusal::CannotDetermineSize, error ? error : std::make_error_code(std::errc::file_too_large),
                       output);
    }
#else
    // Opening the source: it must exist (a link is followed, as the open does), be no directory and
    // be readable by this process.
    struct stat source {};
    if (::stat(path.c_str(), &source) != 0) {
        return Refused(Refusal::CannotOpenSource, LastError(), output);
    }
    if (S_ISDIR(source.st_mode)) {
        return Refused(Refusal::CannotOpenSource, std::make_error_code(std::errc::is_a_directory), output);
    }
    if (::faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) != 0) {
        return Refused(Refusal::CannotOpenSource, LastError(), output);
    }
    // Creating the output: no file, folder or link (even a dangling one) may have the name, and
    // the folder must take a new file. Of ".enc" alone no name is left, and the platform creates none.
    if (output.empty()) {
        return Refused(Refusal::CannotCreateOutput, std::make_error_code(std::errc::no_such_file_or_directory), output);
    }
    struct stat existing {};
    if (::lstat(output.c_str(), &existing) == 0) {
        return Refused(Refusal::CannotCreateOutput, std::make_error_code(std::errc::file_exists), output);
    }
    if (errno != ENOENT) {
        return Refused(Refusal::CannotCreateOutput, LastError(), output);
    }
    if (::faccessat(AT_FDCWD, FolderOf(output).c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return Refused(Refusal::CannotCreateOutput, LastError(), output);
    }
    // The size: only a regular file has one the job can count on.
    if (!S_ISREG(source.st_mode)) {
        return Refused(Refusal::CannotDetermineSize, std::make_error_code(std::errc::invalid_argument), output);
    }
    if (source.st_size < 0 || static_cast<std::uint64_t>(source.st_size) >= kSizeLimit) {
        return Refused(Refusal::CannotDetermineSize, std::make_error_code(std::errc::file_too_large), output);
    }
#endif
    return {std::nullopt, {}, std::move(output)};
}

}  // namespace morvex
