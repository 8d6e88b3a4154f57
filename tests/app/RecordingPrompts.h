#pragma once

#include <QString>
#include <algorithm>
#include <deque>
#include <optional>
#include <vector>

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
    void ShowMessage(const MessageText& message) override {
        boxes.push_back(
            {QString::fromUtf8(message.text.data(), static_cast<qsizetype>(message.text.size())),
             QString::fromUtf8(message.title.data(), static_cast<qsizetype>(message.title.size())),
             message.icon});
    }

    std::optional<QString> ChooseFile() override {
        ++pickerCalls;
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
    int pickerCalls = 0;
    std::deque<std::optional<QString>> pickerAnswers;
};

}  // namespace morvex::test
