#include "jobs/SourceReader.h"

#include <algorithm>

namespace morvex {

SourceReader::SourceReader(PlatformSource& file, std::size_t capacity) :
    file_(file), buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(capacity)), capacity_(capacity) {}

bool SourceReader::Ensure(std::size_t count) {
    if (end_ - begin_ >= count || atEnd_) {
        return true;
    }
    std::copy(buffer_.get() + begin_, buffer_.get() + end_, buffer_.get());
    end_ -= begin_;
    begin_ = 0;
    while (end_ < capacity_) {
        const auto got = file_.Read(std::span<std::uint8_t>(buffer_.get() + end_, capacity_ - end_));
        if (!got) {
            return false;
        }
        if (*got == 0) {
            atEnd_ = true;
            break;
        }
        end_ += *got;
    }
    return true;
}

bool SourceReader::ReadWord(std::uint32_t& word) {
    if (!Ensure(4)) {
        return false;
    }
    const std::size_t got = std::min<std::size_t>(4, end_ - begin_);
    for (std::size_t i = 0; i < got; ++i) {
        const unsigned shift = 8U * static_cast<unsigned>(i);
        word = (word & ~(0xFFU << shift)) | (static_cast<std::uint32_t>(buffer_[begin_ + i]) << shift);
    }
    begin_ += got;
    return true;
}

}  // namespace morvex
