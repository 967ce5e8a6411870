#include "settings/DialogUnits.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFont>

using settings::DialogUnits;

TEST(DialogUnits, ConvertsWithQuarterWidthAndEighthHeightRounded) {
    struct Case {
        int charWidth, charHeight, x, y, px, py;
    };
    const Case cases[] = {
        {6, 13, 4, 8, 6, 13},       {6, 13, 223, 133, 335, 216}, {7, 16, 7, 7, 12, 14},
        {7, 16, 148, 78, 259, 156}, {5, 10, 1, 1, 1, 1},         {6, 13, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        const DialogUnits u(c.charWidth, c.charHeight);
        EXPECT_EQ(u.X(c.x), c.px) << c.charWidth << " " << c.x;
        EXPECT_EQ(u.Y(c.y), c.py) << c.charHeight << " " << c.y;
    }
    // Pixel widths of the design stay as they are at its own font.
    EXPECT_EQ(DialogUnits(6, 13).Pixels(110), 110);
    EXPECT_EQ(DialogUnits(7, 16).Pixels(110), 128);
}

TEST(DialogUnits, GrowsWithTheFont) {
    QFont small = QApplication::font();
    small.setPointSize(8);
    QFont large = small;
    large.setPointSize(16);
    const DialogUnits a(small), b(large);
    EXPECT_GT(b.X(223), a.X(223));
    EXPECT_GT(b.Y(133), a.Y(133));
    // Proportions stay close whatever the size.
    const double ratioA = double(a.X(223)) / a.Y(133);
    const double ratioB = double(b.X(223)) / b.Y(133);
    EXPECT_NEAR(ratioA, ratioB, 0.15);
}
