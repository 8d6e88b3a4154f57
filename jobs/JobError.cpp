#include "jobs/JobError.h"

#include <string>

namespace morvex {

namespace {

class Category final : public std::error_category {
public:
    const char* name() const noexcept override { return "morvex"; }

    std::string message(int value) const override {
        switch (static_cast<JobError>(value)) {
        case JobError::SourceChanged: return "the file changed while it was read";
        case JobError::ContainerTooLarge: return "its container would be 4 GiB or more";
        case JobError::OutputReplaced: return "another file has taken the unfinished output's name";
        }
        return "unknown cause";
    }
};

}  // namespace

const std::error_category& JobErrorCategory() noexcept {
    static const Category category;
    return category;
}

}  // namespace morvex
