#include "settings/DialogUnits.h"

#include <QFont>
#include <QFontMetrics>
#include <QString>
#include <QWidget>

#include <algorithm>

namespace settings {

namespace {

// The average width of the Latin letters, rounded, as template layouts assume.
int AverageLetterWidth(const QFontMetrics& metrics) {
    const int total = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return std::max(1, (total / 26 + 1) / 2);
}

// a * b / c, rounded to the nearest integer.
int Scale(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    const long long half = c / 2;
    return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

} // namespace

DialogUnits::DialogUnits(const QFont& font)
    : DialogUnits(AverageLetterWidth(QFontMetrics(font)), QFontMetrics(font).height()) {}

DialogUnits::DialogUnits(int averageCharWidth, int charHeight)
    : m_charWidth(std::max(1, averageCharWidth)), m_charHeight(std::max(1, charHeight)) {}

int DialogUnits::X(int units) const {
    return Scale(units, m_charWidth, 4);
}

int DialogUnits::Y(int units) const {
    return Scale(units, m_charHeight, 8);
}

int DialogUnits::Pixels(int designPixels) const {
    return Scale(designPixels, m_charWidth, kDesignCharWidth);
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
    return QRect(X(x), Y(y), X(width), Y(height));
}

QSize DialogUnits::Size(int width, int height) const {
    return QSize(X(width), Y(height));
}

QString ControlName(int id) {
    return QString::number(id);
}

void Place(QWidget* control, const DialogUnits& units, int x, int y, int width, int height) {
    control->setGeometry(units.Rect(x, y, width, height));
}

void PlaceText(QWidget* control, const DialogUnits& units, int x, int y, int width, int height) {
    QRect r = units.Rect(x, y, width, height);
    r.setWidth(std::max(r.width(), control->sizeHint().width()));
    control->setGeometry(r);
}

} // namespace settings
