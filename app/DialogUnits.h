#pragma once

#include <QRect>

class QFontMetrics;

namespace morvex {

// Maps the layout's dialog units to pixels of one font: a horizontal unit is a quarter of the
// font's average character width, a vertical unit an eighth of its character height, so the
// dialog keeps its proportions whatever font the desktop uses.
class DialogUnits {
public:
    explicit DialogUnits(const QFontMetrics& metrics);

    [[nodiscard]] int X(int units) const;
    [[nodiscard]] int Y(int units) const;
    [[nodiscard]] QRect Rect(int left, int top, int width, int height) const;

    [[nodiscard]] int AverageCharWidth() const { return averageCharWidth; }
    [[nodiscard]] int CharHeight() const { return charHeight; }

private:
    int averageCharWidth;
    int charHeight;
};

}  // namespace morvex
