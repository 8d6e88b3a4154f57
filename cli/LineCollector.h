#pragma once

#include <cstddef>
#include <string>

#include "base/SecureWipe.h"

namespace morvex {

// Keeps at most keep bytes of a line that arrives piece by piece; drops a final '\r'. What it held
// is wiped, since the line is usually a passphrase.
class LineCollector {
public:
    explicit LineCollector(std::size_t keep) : keep_(keep) {}
    ~LineCollector() { SecureWipe(line_.data(), line_.size()); }
    LineCollector(const LineCollector&) = delete;
    LineCollector& operator=(const LineCollector&) = delete;

    void Add(char c) {
        if (line_.size() < keep_) {
            line_.push_back(c);
        }
    }

    [[nodiscard]] std::string Take() {
        if (!line_.empty() && line_.back() == '\r') {
            line_.pop_back();
        }
        std::string result = line_;
        SecureWipe(line_.data(), line_.size());
        line_.clear();
        return result;
    }

private:
    std::size_t keep_;
    std::string line_;
};

}  // namespace morvex
