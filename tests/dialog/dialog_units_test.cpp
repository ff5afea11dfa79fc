// Dialog units to pixels: a quarter of the average character width across, an eighth of the font height
// down, with edges converted (not sizes) so that neighbours never overlap by rounding.

#include <gtest/gtest.h>

#include <QFontInfo>
#include <QStringList>

#include "DialogUnits.h"

namespace {

TEST(DialogUnitsTest, ConvertsUnitsWithTheTemplateRounding)
{
    struct UnitCase {
        int nBaseWidth, nBaseHeight, nUnits, nX, nY;
    };
    const UnitCase cases[] = {
        {6, 13, 0, 0, 0},       {6, 13, 4, 6, 7},       {6, 13, 1, 2, 2},     {6, 13, 235, 353, 382},
        {6, 13, 171, 257, 278}, {7, 14, 8, 14, 14},     {8, 16, 3, 6, 6},     {5, 12, 2, 3, 3},
    };
    for (const UnitCase& c : cases) {
        SCOPED_TRACE(c.nUnits);
        const CDialogUnits units(c.nBaseWidth, c.nBaseHeight);
        EXPECT_EQ(units.X(c.nUnits), c.nX);
        EXPECT_EQ(units.Y(c.nUnits), c.nY);
    }
}

TEST(DialogUnitsTest, RectanglesOfAdjacentControlsNeitherOverlapNorLeaveGaps)
{
    const CDialogUnits units(7, 13);
    const QRect left = units.Rect(7, 9, 31, 8);
    const QRect right = units.Rect(38, 17, 20, 8);  // starts where the first ends, in both directions
    EXPECT_EQ(left.x() + left.width(), right.x());
    EXPECT_EQ(left.y() + left.height(), right.y());
    EXPECT_EQ(units.Rect(62, 7, 69, 48), QRect(units.X(62), units.Y(7), units.X(131) - units.X(62), units.Y(55) - units.Y(7)));
}

TEST(DialogUnitsTest, DialogFontAsksForTheTemplateFaceAndFindsAJapaneseGothic)
{
    const QFont font = DialogFont();
    EXPECT_EQ(font.family(), QString::fromUtf8(kDialogFontFamily));
    EXPECT_EQ(font.pointSize(), 9);
    const QStringList substitutes = QFont::substitutes(QString::fromUtf8(kDialogFontFamily));
    EXPECT_TRUE(substitutes.contains(QStringLiteral("IPAPGothic"), Qt::CaseInsensitive));
    // The face actually used is one of the substitutes, not a Latin fallback.
    EXPECT_TRUE(substitutes.contains(QFontInfo(font).family(), Qt::CaseInsensitive)) << QFontInfo(font).family().toStdString();

    const CDialogUnits units(font);
    EXPECT_GT(units.BaseWidth(), 3);
    EXPECT_GT(units.BaseHeight(), 8);
}

}  // namespace
