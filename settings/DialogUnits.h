#pragma once

#include <QRect>
#include <QSize>

class QFont;
class QWidget;

namespace settings {

// Converts dialog-template units into pixels for a given font: a horizontal
// unit is a quarter of the font's average character width and a vertical unit
// an eighth of its height, so a window laid out in these units keeps its
// proportions at any font size.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    DialogUnits(int averageCharWidth, int charHeight);

    // The average character width of the font the templates were designed with.
    static constexpr int kDesignCharWidth = 6;

    int X(int units) const;
    int Y(int units) const;
    // A width the design gives in pixels, scaled like the dialog units.
    int Pixels(int designPixels) const;
    QRect Rect(int x, int y, int width, int height) const;
    QSize Size(int width, int height) const;

private:
    int m_charWidth;
    int m_charHeight;
};

// Names a control after its template id, so that code and tests find it by id.
QString ControlName(int id);

// Positions a control at a template rectangle given in dialog units.
void Place(QWidget* control, const DialogUnits& units, int x, int y, int width, int height);

// Positions a label or check box like Place, but never narrower than its text
// needs: fonts differ in the width of their letters, not only in their average.
void PlaceText(QWidget* control, const DialogUnits& units, int x, int y, int width, int height);

} // namespace settings
