#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include <QString>

#include "app/DialogPrompts.h"

namespace morvex::test {

struct RecordedBox {
    QString text;
    QString title;
    MessageIcon icon;
};

// Records every box instead of showing it and answers the picker from a queue; an optional hook runs
// while a box is "open", as a user would act before pressing OK.
class RecordingPrompts final : public DialogPrompts {
public:
    void ShowMessage(const QString& text, const QString& title, MessageIcon icon) override {
        boxes.push_back({text, title, icon});
        if (whileOpen) {
            whileOpen(boxes.back());
        }
    }

    std::optional<QString> ChooseFile(const QString& title) override {
        pickerTitles.push_back(title);
        if (pickerAnswers.empty()) {
            return std::nullopt;
        }
        std::optional<QString> answer = pickerAnswers.front();
        pickerAnswers.pop_front();
        return answer;
    }

    [[nodiscard]] int CountTitled(const QString& title) const {
        int count = 0;
        for (const RecordedBox& box : boxes) {
            count += box.title == title ? 1 : 0;
        }
        return count;
    }

    std::vector<RecordedBox> boxes;
    std::vector<QString> pickerTitles;
    std::deque<std::optional<QString>> pickerAnswers;
    std::function<void(const RecordedBox&)> whileOpen;
};

}  // namespace morvex::test
