#include "jobs/OutputWriter.h"

namespace morvex {

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
    const bool written = file_.WriteTransfer(used_);
    used_ = 0;
    room_ = {};
    return written;
}

}  // namespace morvex
