#include "jobs/OutputWriter.h"

#include <span>

namespace morvex {

OutputWriter::OutputWriter(PlatformOutput& file, std::size_t capacity) :
    file_(file), buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(capacity)), capacity_(capacity) {}

bool OutputWriter::Reserve(std::size_t count) {
    if (SpaceBytes() >= count) {
        return true;
    }
    return WritePending();
}

bool OutputWriter::WritePending() {
    if (used_ == 0) {
        return true;
    }
    const bool written = file_.Write(std::span<const std::uint8_t>(buffer_.get(), used_));
    used_ = 0;
    return written;
}

}  // namespace morvex
