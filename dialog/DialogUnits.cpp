#include "DialogUnits.h"

#include <QFontMetrics>
#include <QStringList>

QFont DialogFont()
{
    static const bool bRegistered = [] {
        // Proportional Gothic faces first (the templates' face is proportional), then the fixed-pitch
        // ones, so that Japanese renders on whatever a fresh Debian desktop has.
        QFont::insertSubstitutions(QString::fromUtf8(kDialogFontFamily),
                                   {QStringLiteral("IPAPGothic"), QStringLiteral("IPA Pゴシック"),
                                    QStringLiteral("VL PGothic"), QStringLiteral("Noto Sans CJK JP"),
                                    QStringLiteral("TakaoPGothic"), QStringLiteral("IPAGothic"),
                                    QStringLiteral("Droid Sans Fallback")});
        return true;
    }();
    (void)bRegistered;
    QFont font(QString::fromUtf8(kDialogFontFamily), kDialogFontPoints);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

CDialogUnits::CDialogUnits(const QFont& font)
{
    const QFontMetrics metrics(font);
    // The average width is taken over the 52 Latin letters and rounded, the way the templates'
    // platform measures a dialog font (its "average character width" field is less reliable).
    const int nLetters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_nBaseWidth = (nLetters / 26 + 1) / 2;
    m_nBaseHeight = metrics.height();
    if (m_nBaseWidth < 1)
        m_nBaseWidth = 1;
    if (m_nBaseHeight < 1)
        m_nBaseHeight = 1;
}

// Rounded the same way as the conversion the templates' platform applies (MulDiv rounds to nearest).
int CDialogUnits::X(int nUnits) const
{
    return (nUnits * m_nBaseWidth * 2 + 4) / 8;
}

int CDialogUnits::Y(int nUnits) const
{
    return (nUnits * m_nBaseHeight * 2 + 8) / 16;
}

QRect CDialogUnits::Rect(int x, int y, int cx, int cy) const
{
    // Edges are converted, not sizes, so that neighbouring controls never overlap by rounding.
    const int nLeft = X(x);
    const int nTop = Y(y);
    return QRect(nLeft, nTop, X(x + cx) - nLeft, Y(y + cy) - nTop);
}
