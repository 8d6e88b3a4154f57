#include "cli/ProgressLine.h"

#include <algorithm>
#include <array>

namespace morvex {

namespace {

// Often enough to look alive, rarely enough not to flood a slow terminal.
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

// Below this the rate is mostly noise and the time left is a guess.
constexpr auto kSteadyAfter = std::chrono::milliseconds(300);

std::string FormatRate(double bytesPerSecond) {
    constexpr std::array<const char*, 4> units{"B/s", "KiB/s", "MiB/s", "GiB/s"};
    std::size_t unit = 0;
    while (bytesPerSecond >= 1024.0 && unit + 1 < units.size()) {
        bytesPerSecond /= 1024.0;
        ++unit;
    }
    std::array<char, 32> buffer{};
    std::snprintf(buffer.data(), buffer.size(), "%.1f %s", bytesPerSecond, units[unit]);
    return buffer.data();
}

}  // namespace

ProgressLine::ProgressLine(std::FILE* stream, bool enabled) : stream_(stream), enabled_(enabled) {}

void ProgressLine::Start(std::string name, std::uint64_t size, Clock::time_point now) {
    name_ = std::move(name);
    size_ = size;
    start_ = now;
    lastDraw_ = now - kRedrawInterval;
    lastPercent_ = -1;
}

void ProgressLine::Update(int percent, Clock::time_point now) {
    if (!enabled_) {
        return;
    }
    if (percent == lastPercent_ && now - lastDraw_ < kRedrawInterval) {
        return;
    }
    lastPercent_ = percent;
    lastDraw_ = now;
    Draw(Format(name_, percent, size_, now - start_));
}

void ProgressLine::Finish(const std::string& text) {
    if (!enabled_) {
        return;
    }
    Draw(text);
    std::fputc('\n', stream_);
    std::fflush(stream_);
    shownWidth_ = 0;
}

void ProgressLine::Clear() {
    if (!enabled_ || shownWidth_ == 0) {
        return;
    }
    std::fprintf(stream_, "\r%*s\r", static_cast<int>(shownWidth_), "");
    std::fflush(stream_);
    shownWidth_ = 0;
}

void ProgressLine::Draw(const std::string& text) {
    // Plain carriage return and padding rather than escape sequences: every console knows them.
    const std::size_t pad = shownWidth_ > text.size() ? shownWidth_ - text.size() : 0;
    std::fprintf(stream_, "\r%s%*s", text.c_str(), static_cast<int>(pad), "");
    std::fflush(stream_);
    shownWidth_ = text.size();
}

std::string ProgressLine::Format(const std::string& name, int percent, std::uint64_t size,
                                 Clock::duration elapsed) {
    const int shown = std::clamp(percent, 0, 100);
    std::array<char, 8> percentText{};
    std::snprintf(percentText.data(), percentText.size(), "%3d%%", shown);
    std::string text = name + "  " + percentText.data();

    const double seconds = std::chrono::duration<double>(elapsed).count();
    if (shown == 0 || elapsed < kSteadyAfter || seconds <= 0.0) {
        return text;
    }
    const double doneBytes = static_cast<double>(size) * shown / 100.0;
    text += "  " + FormatRate(doneBytes / seconds);
    if (shown == 100) {
        text += "  in " + FormatDuration(static_cast<std::uint64_t>(seconds + 0.5));
        return text;
    }
    const double left = seconds * (100.0 - shown) / shown;
    text += "  " + FormatDuration(static_cast<std::uint64_t>(left + 0.5)) + " left";
    return text;
}

std::string ProgressLine::FormatDuration(std::uint64_t seconds) {
    std::array<char, 32> buffer{};
    const unsigned long long h = seconds / 3600;
    const unsigned long long m = (seconds / 60) % 60;
    const unsigned long long s = seconds % 60;
    if (h > 0) {
        std::snprintf(buffer.data(), buffer.size(), "%llu:%02llu:%02llu", h, m, s);
    } else {
        std::snprintf(buffer.data(), buffer.size(), "%llu:%02llu", m, s);
    }
    return buffer.data();
}

}  // namespace morvex
