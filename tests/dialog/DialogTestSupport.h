#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dialog/DialogView.h"
#include "dialog/MainDialogLogic.h"
#include "tests/dialog/GatedPlatform.h"

namespace morvex::test {

struct Box {
    std::string text;
    std::string title;
    MessageIcon icon;
};

// A window that records what the rules make of it, in one log so that order can be checked, and
// answers the picker from a queue (nothing once it is empty, as a cancelled picker would).
class FakeDialogView final : public DialogView {
  public:
    void SetWorking(bool working) override { events.emplace_back(working ? "working" : "idle"); }
    void SetQuality(int percent) override { quality.push_back(percent); }
    void SetProgress(int percent) override {
        progress.push_back(percent);
        events.push_back("progress " + std::to_string(percent));
    }
    void ShowMessage(const MessageText& message) override {
        boxes.push_back({std::string(message.text), std::string(message.title), message.icon});
        events.push_back("box " + boxes.back().title);
        if (onMessage) {
            onMessage(boxes.back());
        }
    }
    std::optional<std::string> ChooseFile() override {
        ++pickerCalls;
        if (pickerAnswers.empty()) {
            return std::nullopt;
        }
        std::optional<std::string> answer = pickerAnswers.front();
        pickerAnswers.pop_front();
        return answer;
    }
    void EndDialog(int status) override {
        endStatuses.push_back(status);
        events.push_back("end " + std::to_string(status));
    }

    [[nodiscard]] int Count(const std::string& title) const {
        return static_cast<int>(std::count_if(boxes.begin(), boxes.end(),
                                              [&title](const Box& box) { return box.title == title; }));
    }

    std::vector<std::string> events;
    std::vector<int> quality;
    std::vector<int> progress;
    std::vector<Box> boxes;
    std::vector<int> endStatuses;
    std::deque<std::optional<std::string>> pickerAnswers;
    int pickerCalls = 0;
    std::function<void(const Box&)> onMessage;  // runs while the box is "open"
};

// A fresh folder, removed with everything in it.
struct TempDir {
    TempDir() {
        static std::atomic<int> counter{0};
        path = std::filesystem::temp_directory_path() /
               ("morvex-dialog-" + std::to_string(std::random_device{}()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(path);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] std::string File(const std::string& name) const { return (path / name).string(); }
    [[nodiscard]] std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::filesystem::path path;
};

inline std::string Pattern(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator());
    }
    return bytes;
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The rules on a fake window and a gated platform, over real files in a fresh folder; jobs without
// the final pause.
struct DialogRig {
    // The home code page is the test's, not the running system's.
    explicit DialogRig(CodePage home = CodePage::Windows1252)
        : logic(std::make_unique<MainDialogLogic>(
              view, platform, JobOptions{.finalPause = std::chrono::milliseconds{0}, .homeCodePage = home})) {}

    [[nodiscard]] const JobState& State() const { return logic->State(); }

    // Everything a request needs, each part left out where empty.
    void Fill(AlgorithmId algorithm, const std::string& path, const std::string& first,
              const std::string& second) {
        if (algorithm == AlgorithmId::TripleDes) {
            logic->ChooseTripleDes();
        } else if (algorithm == AlgorithmId::Idea) {
            logic->ChooseIdea();
        }
        if (!path.empty()) {
            view.pickerAnswers.push_back(path);
            logic->PickFile();
        }
        logic->FirstFieldChanged(first, second);
        logic->SecondFieldChanged(first, second);
    }

    // Ticks as the timer would, only faster, until the condition holds; false on a timeout.
    bool TickUntil(const std::function<bool()>& condition) {
        for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
             std::chrono::steady_clock::now() < deadline;) {
            logic->Tick();
            if (condition()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    bool RunToReport() {
        return TickUntil([this] { return !State().running; });
    }

    TempDir dir;
    GatedPlatform platform;
    FakeDialogView view;
    std::unique_ptr<MainDialogLogic> logic;
};

}  // namespace morvex::test
