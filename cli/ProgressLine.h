#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// The one line on a terminal that follows the running jobs, redrawn in place within the
// terminal's width: for one job its percentage, rate and time left; for several, each job's
// percentage after the count of files finished.
class ProgressLine {
public:
    using Clock = std::chrono::steady_clock;
    using ColumnsSource = std::size_t (*)();  // the terminal's width now; 0 if unknown

    struct Job {
        std::string_view name;
        int percent = 0;
        std::uint64_t size = 0;
        Clock::time_point start{};
    };

    // A disabled line never writes anything.
    ProgressLine(std::FILE* stream, bool enabled, ColumnsSource columns);

    // Redraws the line for the running jobs, at most every redraw interval.
    void Show(std::span<const Job> jobs, std::size_t finished, std::size_t total, Clock::time_point now);
    // When Show would next draw.
    [[nodiscard]] Clock::time_point NextDraw() const { return lastDraw_ + kRedrawInterval; }
    // Puts a line that stays in place of the progress line; Show draws it again below.
    void Finish(const std::string& text);
    // Removes the line, so that a message can take its place.
    void Clear();

    [[nodiscard]] bool Enabled() const { return enabled_; }
    // The width a line may take now: one column short of the terminal's, so that no terminal
    // wraps it.
    [[nodiscard]] std::size_t Width() const;

    // One piece of a line: a name may be cut in the middle; other text is kept whole, or dropped
    // whole if dropRank is above 0 (the highest rank first) when the line would not fit otherwise.
    struct Piece {
        std::string text;
        bool name = false;
        int dropRank = 0;
    };
    // The pieces joined within the width, names shortened as evenly as possible.
    [[nodiscard]] static std::string Fit(std::vector<Piece> pieces, std::size_t width);

    // The line for one job that has done percent of size bytes in elapsed time.
    [[nodiscard]] static std::string Format(std::string_view name, int percent, std::uint64_t size,
                                            Clock::duration elapsed, std::size_t width);
    // The line that stays once a job is done: "INPUT -> OUTPUT  100%  RATE  in TIME".
    [[nodiscard]] static std::string FormatDone(std::string_view input, std::string_view output, std::uint64_t size,
                                                Clock::duration elapsed, std::size_t width);

    // A name as a terminal may show it: control characters and broken UTF-8 become '?'.
    [[nodiscard]] static std::string Printable(std::string_view name);
    // Columns a printable text takes; wide characters count two.
    [[nodiscard]] static std::size_t Columns(std::string_view text);
    // A printable text cut in the middle with "..." to at most width columns.
    [[nodiscard]] static std::string CutMiddle(std::string_view text, std::size_t width);

    // Seconds as m:ss, or h:mm:ss from an hour on.
    [[nodiscard]] static std::string FormatDuration(std::uint64_t seconds);

    // Often enough to look alive, rarely enough not to flood a slow terminal.
    static constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

private:
    void Draw(const std::string& text);

    std::FILE* stream_;
    bool enabled_;
    ColumnsSource columns_;
    Clock::time_point lastDraw_{};
    std::string shown_;  // the line on the terminal now; empty if none
};

}  // namespace morvex
