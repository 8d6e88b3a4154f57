#include "jobs/SourceReader.h"

#include <algorithm>

namespace morvex {

bool SourceReader::Ensure(std::size_t count) {
    while (available_.size() < count && !atEnd_) {
        // What is left of this transfer moves to the front of the next.
        const std::size_t kept = available_.size();
        const auto next = file_.NextTransfer(kept);
        if (!next) {
            return false;
        }
        atEnd_ = next->size() == kept;
        available_ = *next;
    }
    return true;
}

bool SourceReader::ReadWord(std::uint32_t& word) {
    if (!Ensure(4)) {
        return false;
    }
    const std::size_t got = std::min<std::size_t>(4, available_.size());
    for (std::size_t i = 0; i < got; ++i) {
        const unsigned shift = 8U * static_cast<unsigned>(i);
        word = (word & ~(0xFFU << shift)) | (static_cast<std::uint32_t>(available_[i]) << shift);
    }
    Consume(got);
    return true;
}

}  // namespace morvex
