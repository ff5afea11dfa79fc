#include "PhraseLabel.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QStyle>
#include <QtMath>

namespace {

bool IsJapanese(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 0x3000 && u <= 0x30FF) || (u >= 0x3400 && u <= 0x4DBF) || (u >= 0x4E00 && u <= 0x9FFF)
           || (u >= 0xF900 && u <= 0xFAFF) || (u >= 0xFF00 && u <= 0xFFEF);
}

// Punctuation after which a Japanese line may end; never before it.
bool EndsAPhrase(QChar c)
{
    return QStringView(u"、。，．・！？）」』】〕").contains(c);
}

bool StartsALatinWord(QChar c)
{
    return c.isLetterOrNumber() && !IsJapanese(c);
}

// Whether a line may end between text[i - 1] and text[i].
bool MayBreakBefore(const QString& text, qsizetype i)
{
    const QChar before = text[i - 1];
    const QChar after = text[i];
    return before.isSpace() || EndsAPhrase(before) || (IsJapanese(before) && (StartsALatinWord(after) || after == u'['));
}

int WidthOf(const QFontMetricsF& metrics, const QString& text)
{
    return qCeil(metrics.horizontalAdvance(text.trimmed()));
}

}  // namespace

QStringList WrapAtPhrases(const QFont& font, const QString& text, int nWidth)
{
    const QFontMetricsF metrics(font);
    QStringList lines;
    qsizetype nStart = 0;
    while (nStart < text.size()) {
        const QString rest = text.mid(nStart);
        if (WidthOf(metrics, rest) <= nWidth) {
            lines.append(rest.trimmed());
            break;
        }
        qsizetype nBreak = 0;  // length of this line, from nStart
        for (qsizetype i = 1; i < rest.size(); ++i) {
            if (MayBreakBefore(rest, i) && WidthOf(metrics, rest.left(i)) <= nWidth)
                nBreak = i;
        }
        if (nBreak == 0) {
            // No place the text allows on this line: cut at the last character that fits.
            nBreak = 1;
            while (nBreak < rest.size() && WidthOf(metrics, rest.left(nBreak + 1)) <= nWidth)
                ++nBreak;
        }
        lines.append(rest.left(nBreak).trimmed());
        nStart += nBreak;
        while (nStart < text.size() && text[nStart].isSpace())
            ++nStart;
    }
    return lines;
}

QStringList CPhraseLabel::Lines() const
{
    const int nMargin = margin();
    return WrapAtPhrases(font(), text(), contentsRect().width() - 2 * nMargin);
}

void CPhraseLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const int nMargin = margin();
    QRect line = contentsRect().adjusted(nMargin, nMargin, -nMargin, -nMargin);
    line.setHeight(fontMetrics().height());
    const Qt::Alignment horizontal = alignment() & Qt::AlignHorizontal_Mask;
    for (const QString& text : Lines()) {
        style()->drawItemText(&painter, line, static_cast<int>(horizontal | Qt::AlignTop), palette(), isEnabled(),
                              text, foregroundRole());
        line.translate(0, fontMetrics().lineSpacing());
    }
}
