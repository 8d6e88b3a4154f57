#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace morvex {

// The one line on a terminal that follows a job: percentage, rate and time left, redrawn in place.
class ProgressLine {
public:
    using Clock = std::chrono::steady_clock;

    // A disabled line never writes anything.
    ProgressLine(std::FILE* stream, bool enabled);

    void Start(std::string name, std::uint64_t size, Clock::time_point now);
    void Update(int percent, Clock::time_point now);
    // Replaces the line with a final one that stays.
    void Finish(const std::string& text);
    // Removes the line, so that a message can take its place.
    void Clear();

    [[nodiscard]] bool Enabled() const { return enabled_; }

    // The text for a job that has done percent of size bytes in elapsed time.
    [[nodiscard]] static std::string Format(const std::string& name, int percent, std::uint64_t size,
                                            Clock::duration elapsed);

    // Seconds as m:ss, or h:mm:ss from an hour on.
    [[nodiscard]] static std::string FormatDuration(std::uint64_t seconds);

private:
    void Draw(const std::string& text);

    std::FILE* stream_;
    bool enabled_;
    std::string name_;
    std::uint64_t size_ = 0;
    Clock::time_point start_{};
    Clock::time_point lastDraw_{};
    int lastPercent_ = -1;
    std::size_t shownWidth_ = 0;
};

}  // namespace morvex
