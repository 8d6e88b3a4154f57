#pragma once

#include <algorithm>
#include <deque>
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

// Records every box instead of showing it and answers the picker from a queue (nothing once it is
// empty, as a cancelled picker would).
class RecordingPrompts final : public DialogPrompts {
public:
    void ShowMessage(const QString& text, const QString& title, MessageIcon icon) override {
        boxes.push_back({text, title, icon});
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
        return static_cast<int>(std::count_if(
            boxes.begin(), boxes.end(), [&title](const RecordedBox& box) { return box.title == title; }));
    }

    std::vector<RecordedBox> boxes;
    std::vector<QString> pickerTitles;
    std::deque<std::optional<QString>> pickerAnswers;
};

}  // namespace morvex::test
