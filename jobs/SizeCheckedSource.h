#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "jobs/JobError.h"
#include "jobs/Platform.h"

namespace morvex {

// The file a job reads, held to the size it had when the job started: its end must come exactly
// there. A read that meets the end sooner (the file was cut short) or brings bytes past it (the
// file grew, or its size was reported as smaller than its content, as /proc reports 0) fails with
// JobError::SourceChanged, so that the job fails instead of writing fill or dropping bytes.
class SizeCheckedSource final : public PlatformSource {
public:
    SizeCheckedSource(PlatformSource& inner, std::uint64_t size) noexcept : inner_(inner), size_(size) {}

    std::optional<std::uint64_t> Size() override { return inner_.Size(); }

    std::optional<std::size_t> Read(std::span<std::uint8_t> bytes) override {
        if (error_) {
            return std::nullopt;
        }
        const std::optional<std::size_t> got = inner_.Read(bytes);
        if (!got) {
            error_ = inner_.Error();
            return std::nullopt;
        }
        if ((*got == 0 && !bytes.empty() && delivered_ < size_) || *got > size_ - delivered_) {
            error_ = make_error_code(JobError::SourceChanged);
            return std::nullopt;
        }
        delivered_ += *got;
        return got;
    }

    std::optional<std::size_t> ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) override {
        return inner_.ReadAt(offset, bytes);
    }

    void Close() override { inner_.Close(); }

    std::error_code Error() const override { return error_; }

private:
    PlatformSource& inner_;
    std::uint64_t size_;
    std::uint64_t delivered_ = 0;
    std::error_code error_;
};

}  // namespace morvex
