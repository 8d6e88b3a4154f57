#include "app/DialogUnits.h"

#include <QFontMetrics>
#include <QString>

namespace morvex {

namespace {

// The average width is taken over the Latin letters, rounded to the nearest pixel: the widest
// and narrowest glyphs of a proportional font would otherwise pull the layout apart.
int AverageLetterWidth(const QFontMetrics& metrics) {
    const int alphabetWidth =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return (alphabetWidth / 26 + 1) / 2;
}

// Rounded, as the platform's own mapping rounds, so that adjacent controls meet without gaps.
int Scale(int units, int base, int divisor) {
    const int product = units * base;
    return product >= 0 ? (product + divisor / 2) / divisor : -((-product + divisor / 2) / divisor);
}

}  // namespace

DialogUnits::DialogUnits(const QFontMetrics& metrics)
    : averageCharWidth(AverageLetterWidth(metrics)), charHeight(metrics.height()) {}

int DialogUnits::X(int units) const { return Scale(units, averageCharWidth, 4); }

int DialogUnits::Y(int units) const { return Scale(units, charHeight, 8); }

QRect DialogUnits::Rect(int left, int top, int width, int height) const {
    return QRect(X(left), Y(top), X(width), Y(height));
}

}  // namespace morvex
