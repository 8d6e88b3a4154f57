#include "cli/ProgressLine.h"

#include <algorithm>
#include <array>
#include <numeric>

namespace morvex {

namespace {

// Below this the rate is mostly noise and the time left is a guess.
constexpr auto kSteadyAfter = std::chrono::milliseconds(300);

// A name is not cut below this many columns while other pieces can still make room.
constexpr std::size_t kShortestName = 7;

// When the terminal does not tell its width.
constexpr std::size_t kDefaultColumns = 80;

constexpr std::string_view kEllipsis = "...";

// "\r" back to the line's start, "\x1b[K" clears what a longer line before left to the right.
constexpr std::string_view kLineStart = "\r";
constexpr std::string_view kClearToEnd = "\x1b[K";

struct CodePoint {
    char32_t value = 0;
    std::size_t bytes = 0;  // 0: not valid UTF-8 here
};

// One character of UTF-8 at the text's start; overlong forms, surrogates and values beyond
// U+10FFFF are no characters.
CodePoint Decode(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return {lead, 1};
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t least = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1Fu, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0Fu, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07u, least = 0x10000;
    } else {
        return {};
    }
    if (text.size() < length) {
        return {};
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return {};
        }
        value = (value << 6) | (byte(i) & 0x3Fu);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return {};
    }
    return {value, length};
}

// Terminals show East Asian wide characters and most pictographs in two columns. Counting every
// character from U+1100 on as two may cut a name a little shorter than needed, never too long.
std::size_t CharacterColumns(char32_t value) { return value >= 0x1100 ? 2 : 1; }

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

std::string FormatPercent(int percent) {
    std::array<char, 8> buffer{};
    std::snprintf(buffer.data(), buffer.size(), "%3d%%", std::clamp(percent, 0, 100));
    return buffer.data();
}

// The percentage, then the rate and the time (left, or taken once done) where they mean something.
void AddJobFigures(std::vector<ProgressLine::Piece>& pieces, int percent, std::uint64_t size,
                   ProgressLine::Clock::duration elapsed) {
    const int shown = std::clamp(percent, 0, 100);
    pieces.push_back({"  " + FormatPercent(shown)});
    const double seconds = std::chrono::duration<double>(elapsed).count();
    if (shown == 0 || elapsed < kSteadyAfter || seconds <= 0.0) {
        return;
    }
    const double doneBytes = static_cast<double>(size) * shown / 100.0;
    pieces.push_back({"  " + FormatRate(doneBytes / seconds), false, 2});
    if (shown == 100) {
        pieces.push_back({"  in " + ProgressLine::FormatDuration(static_cast<std::uint64_t>(seconds + 0.5)), false, 1});
        return;
    }
    const double left = seconds * (100.0 - shown) / shown;
    pieces.push_back(
        {"  " + ProgressLine::FormatDuration(static_cast<std::uint64_t>(left + 0.5)) + " left", false, 1});
}

// The first characters of a printable text that fit in width columns.
std::string_view Head(std::string_view text, std::size_t width) {
    std::size_t used = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const CodePoint point = Decode(text.substr(at));
        const std::size_t step = point.bytes == 0 ? 1 : point.bytes;
        const std::size_t columns = point.bytes == 0 ? 1 : CharacterColumns(point.value);
        if (used + columns > width) {
            break;
        }
        used += columns;
        at += step;
    }
    return text.substr(0, at);
}

// The last characters of a printable text that fit in width columns.
std::string_view Tail(std::string_view text, std::size_t width) {
    std::size_t used = 0;
    std::size_t at = text.size();
    while (at > 0) {
        std::size_t start = at - 1;
        while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        const std::size_t columns = ProgressLine::Columns(text.substr(start, at - start));
        if (used + columns > width) {
            break;
        }
        used += columns;
        at = start;
    }
    return text.substr(at);
}

}  // namespace

ProgressLine::ProgressLine(std::FILE* stream, bool enabled, ColumnsSource columns)
    : stream_(stream), enabled_(enabled), columns_(columns) {}

std::size_t ProgressLine::Width() const {
    std::size_t columns = columns_ != nullptr ? columns_() : 0;
    if (columns == 0) {
        columns = kDefaultColumns;
    }
    return columns > 1 ? columns - 1 : 1;
}

void ProgressLine::Show(std::span<const Job> jobs, std::size_t finished, std::size_t total, Clock::time_point now) {
    if (!enabled_ || jobs.empty() || now < NextDraw()) {
        return;
    }
    lastDraw_ = now;
    std::vector<Piece> pieces;
    if (total > 1) {
        pieces.push_back({"[" + std::to_string(finished) + "/" + std::to_string(total) + "] "});
    }
    if (jobs.size() == 1) {
        pieces.push_back({Printable(jobs[0].name), true});
        AddJobFigures(pieces, jobs[0].percent, jobs[0].size, now - jobs[0].start);
    } else {
        // Each job's name and percentage go or stay together, the last job's first.
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            const int rank = static_cast<int>(i) + 1;
            if (i > 0) {
                pieces.push_back({"  ", false, rank});
            }
            pieces.push_back({Printable(jobs[i].name), true, rank});
            pieces.push_back({" " + FormatPercent(jobs[i].percent), false, rank});
        }
    }
    Draw(Fit(std::move(pieces), Width()));
}

void ProgressLine::Finish(const std::string& text) {
    if (!enabled_) {
        return;
    }
    std::fprintf(stream_, "%.*s%s%.*s\n", static_cast<int>(kLineStart.size()), kLineStart.data(), text.c_str(),
                 static_cast<int>(kClearToEnd.size()), kClearToEnd.data());
    std::fflush(stream_);
    shown_.clear();
}

void ProgressLine::Clear() {
    if (!enabled_ || shown_.empty()) {
        return;
    }
    std::fprintf(stream_, "%.*s%.*s", static_cast<int>(kLineStart.size()), kLineStart.data(),
                 static_cast<int>(kClearToEnd.size()), kClearToEnd.data());
    std::fflush(stream_);
    shown_.clear();
}

void ProgressLine::Draw(const std::string& text) {
    if (text == shown_) {
        return;
    }
    std::fprintf(stream_, "%.*s%s%.*s", static_cast<int>(kLineStart.size()), kLineStart.data(), text.c_str(),
                 static_cast<int>(kClearToEnd.size()), kClearToEnd.data());
    std::fflush(stream_);
    shown_ = text;
}

std::string ProgressLine::Fit(std::vector<Piece> pieces, std::size_t width) {
    for (;;) {
        std::size_t fixed = 0;
        std::size_t shortestNames = 0;
        int highestRank = 0;
        for (const Piece& piece : pieces) {
            const std::size_t columns = Columns(piece.text);
            if (piece.name) {
                shortestNames += std::min(columns, kShortestName);
            } else {
                fixed += columns;
            }
            highestRank = std::max(highestRank, piece.dropRank);
        }
        if (fixed + shortestNames <= width || highestRank == 0) {
            break;
        }
        std::erase_if(pieces, [highestRank](const Piece& piece) { return piece.dropRank == highestRank; });
    }

    // The names share what the other pieces leave: each short name keeps its width, the others get
    // equal parts of the rest.
    std::size_t left = width;
    std::vector<std::size_t> nameWidths;
    for (const Piece& piece : pieces) {
        const std::size_t columns = Columns(piece.text);
        if (piece.name) {
            nameWidths.push_back(columns);
        } else {
            left = left > columns ? left - columns : 0;
        }
    }
    std::vector<std::size_t> order(nameWidths.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return nameWidths[a] < nameWidths[b]; });
    std::vector<std::size_t> allowed(nameWidths.size(), 0);
    for (std::size_t k = 0; k < order.size(); ++k) {
        const std::size_t share = left / (order.size() - k);
        allowed[order[k]] = std::min(nameWidths[order[k]], share);
        left -= allowed[order[k]];
    }

    std::string line;
    std::size_t nameIndex = 0;
    for (const Piece& piece : pieces) {
        line += piece.name ? CutMiddle(piece.text, allowed[nameIndex++]) : piece.text;
    }
    // A terminal too narrow even for the pieces that stay: the line is cut at its end.
    return std::string(Head(line, width));
}

std::string ProgressLine::Format(std::string_view name, int percent, std::uint64_t size, Clock::duration elapsed,
                                 std::size_t width) {
    std::vector<Piece> pieces{{Printable(name), true}};
    AddJobFigures(pieces, percent, size, elapsed);
    return Fit(std::move(pieces), width);
}

std::string ProgressLine::FormatDone(std::string_view input, std::string_view output, std::uint64_t size,
                                     Clock::duration elapsed, std::size_t width) {
    std::vector<Piece> pieces{{Printable(input), true}, {" -> "}, {Printable(output), true}};
    AddJobFigures(pieces, 100, size, elapsed);
    return Fit(std::move(pieces), width);
}

std::string ProgressLine::Printable(std::string_view name) {
    std::string text;
    text.reserve(name.size());
    std::size_t at = 0;
    while (at < name.size()) {
        const CodePoint point = Decode(name.substr(at));
        const bool control = point.value < 0x20 || point.value == 0x7F || (point.value >= 0x80 && point.value < 0xA0);
        if (point.bytes == 0 || control) {
            text.push_back('?');
            at += point.bytes == 0 ? 1 : point.bytes;
            continue;
        }
        text.append(name.substr(at, point.bytes));
        at += point.bytes;
    }
    return text;
}

std::size_t ProgressLine::Columns(std::string_view text) {
    std::size_t columns = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const CodePoint point = Decode(text.substr(at));
        columns += point.bytes == 0 ? 1 : CharacterColumns(point.value);
        at += point.bytes == 0 ? 1 : point.bytes;
    }
    return columns;
}

std::string ProgressLine::CutMiddle(std::string_view text, std::size_t width) {
    if (Columns(text) <= width) {
        return std::string(text);
    }
    if (width <= kEllipsis.size()) {
        return std::string(kEllipsis.substr(0, width));
    }
    const std::size_t room = width - kEllipsis.size();
    const std::string_view head = Head(text, room - room / 2);
    const std::string_view tail = Tail(text, room / 2);
    return std::string(head) + std::string(kEllipsis) + std::string(tail);
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
