#pragma once
// Window layouts are given in dialog units of the window's font, as the templates were drawn. Here they
// become pixels by the same rule the templates' own platform used: one horizontal unit is a quarter of
// the font's average character width, one vertical unit an eighth of its height.

#include <QFont>
#include <QRect>

// The family the templates ask for. No Linux desktop has it; DialogFont() maps it to an installed
// proportional Japanese Gothic, because fontconfig alone would fall back to a Latin face.
inline constexpr const char* kDialogFontFamily = "ＭＳ Ｐゴシック";
inline constexpr int kDialogFontPoints = 9;

// Registers the substitutions (once) and returns the 9-point dialog font.
QFont DialogFont();

class CDialogUnits {
public:
    explicit CDialogUnits(const QFont& font);
    CDialogUnits(int nBaseWidth, int nBaseHeight) : m_nBaseWidth(nBaseWidth), m_nBaseHeight(nBaseHeight) {}

    int X(int nUnits) const;
    int Y(int nUnits) const;
    QRect Rect(int x, int y, int cx, int cy) const;

    int BaseWidth() const { return m_nBaseWidth; }
    int BaseHeight() const { return m_nBaseHeight; }

private:
    int m_nBaseWidth;   // average character width in pixels
    int m_nBaseHeight;  // font height in pixels
};
