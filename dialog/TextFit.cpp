#include "TextFit.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOption>
#include <QtMath>

#include "PhraseLabel.h"
#include "TemplateGroupBox.h"

namespace {

// The style option a control paints with. initStyleOption is protected; a pointer to it formed
// through a derived class may still be called on the control itself.
template <class Widget, class Option>
Option StyleOptionOf(const Widget* pWidget)
{
    struct Access : Widget {
        static void Init(const Widget* p, Option* pOption) { (p->*(&Access::initStyleOption))(pOption); }
    };
    Option option;
    Access::Init(pWidget, &option);
    return option;
}

// The text as painted when '&' marks an access key: the marker goes, "&&" shows one '&'.
QString WithoutAccessKeys(const QString& text)
{
    QString visible;
    visible.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'&' && i + 1 < text.size())
            ++i;
        visible.append(text[i]);
    }
    return visible;
}

// Width of one line of text as painted from the left edge of its area: its advance (rounded up, so
// that a fractional last pixel counts) or its ink, whichever reaches further. A glyph's ink may run
// past its advance, and ink left of the origin is cut just the same.
int LineWidth(const QFont& font, const QString& text)
{
    if (text.isEmpty())
        return 0;
    const QFontMetrics metrics(font);
    const int nAdvance = qCeil(QFontMetricsF(font).horizontalAdvance(text));
    const QRect ink = metrics.tightBoundingRect(text);
    const int nRight = std::max(nAdvance, ink.isEmpty() ? 0 : ink.right() + 1);
    const int nLeft = std::min(0, ink.isEmpty() ? 0 : ink.left());
    return nRight - nLeft;
}

QSize LineSize(const QFont& font, const QString& text)
{
    return {LineWidth(font, text), QFontMetrics(font).height()};
}

TextFit LabelFit(const QLabel* pLabel, const QString& text)
{
    TextFit fit;
    const int nMargin = pLabel->margin();
    fit.area = pLabel->contentsRect().adjusted(nMargin, nMargin, -nMargin, -nMargin);
    if (qobject_cast<const CPhraseLabel*>(pLabel)) {
        // Its own lines: each as wide as its text, one line spacing apart.
        const QStringList lines = WrapAtPhrases(pLabel->font(), text, fit.area.width());
        int nWidth = 0;
        for (const QString& line : lines)
            nWidth = std::max(nWidth, LineWidth(pLabel->font(), line));
        const QFontMetrics metrics(pLabel->font());
        fit.needed = QSize(nWidth, lines.isEmpty() ? 0
                                                   : metrics.height() + metrics.lineSpacing() * (int(lines.size()) - 1));
    } else if (pLabel->wordWrap()) {
        // A wrapped label needs the height of its lines at its width, and a word too long to break
        // still needs its own width.
        const QRect bounds = pLabel->fontMetrics().boundingRect(QRect(0, 0, fit.area.width(), 1 << 20),
                                                                 static_cast<int>(pLabel->alignment()) |
                                                                     Qt::TextWordWrap,
                                                                 text);
        fit.needed = bounds.size();
    } else {
        fit.needed = LineSize(pLabel->font(), text);
    }
    return fit;
}

TextFit LineEditFit(const QLineEdit* pEdit, const QString& text)
{
    const QStyleOptionFrame option = StyleOptionOf<QLineEdit, QStyleOptionFrame>(pEdit);
    QRect area = pEdit->style()->subElementRect(QStyle::SE_LineEditContents, &option, pEdit);
    area = area.marginsRemoved(pEdit->textMargins());
    // The field keeps 2 pixels of its own on each side of the line.
    area.adjust(2, 0, -2, 0);
    TextFit fit;
    fit.area = area;
    fit.needed = LineSize(pEdit->font(), text);
    if (!text.isEmpty()) {
        // Past its width the field scrolls its text instead of showing it from the start: the line
        // takes one pixel more than its advance, and the caret's width.
        const int nCaret = pEdit->style()->pixelMetric(QStyle::PM_TextCursorWidth, &option, pEdit);
        fit.needed.setWidth(std::max(fit.needed.width(),
                                     qCeil(QFontMetricsF(pEdit->font()).horizontalAdvance(text)) + 1 + nCaret));
    }
    return fit;
}

TextFit PushButtonFit(const QPushButton* pButton, const QString& text)
{
    QStyleOptionButton option = StyleOptionOf<QPushButton, QStyleOptionButton>(pButton);
    option.text = text;
    TextFit fit;
    fit.area = pButton->style()->subElementRect(QStyle::SE_PushButtonContents, &option, pButton);
    fit.needed = LineSize(pButton->font(), WithoutAccessKeys(text));
    return fit;
}

TextFit CheckBoxFit(const QCheckBox* pCheck, const QString& text)
{
    QStyleOptionButton option = StyleOptionOf<QCheckBox, QStyleOptionButton>(pCheck);
    option.text = text;
    TextFit fit;
    fit.area = pCheck->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, pCheck);
    fit.needed = LineSize(pCheck->font(), WithoutAccessKeys(text));
    return fit;
}

TextFit ComboBoxFit(const QComboBox* pCombo, const QString& text)
{
    if (pCombo->isEditable() && pCombo->lineEdit())
        return LineEditFit(pCombo->lineEdit(), text);
    QStyleOptionComboBox option = StyleOptionOf<QComboBox, QStyleOptionComboBox>(pCombo);
    option.currentText = text;
    TextFit fit;
    // The closed list paints its current item one pixel in from each side of its field.
    fit.area = pCombo->style()
                   ->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, pCombo)
                   .adjusted(1, 0, -1, 0);
    fit.needed = LineSize(pCombo->font(), text);
    return fit;
}

TextFit GroupBoxFit(const QGroupBox* pGroup, const QString& text)
{
    QStyleOptionGroupBox option = StyleOptionOf<QGroupBox, QStyleOptionGroupBox>(pGroup);
    option.text = text;
    TextFit fit;
    if (auto* pTemplate = qobject_cast<const CTemplateGroupBox*>(pGroup)) {
        // The caption's room on the frame's line: up to the gap before the frame's right edge.
        const QRect caption = pTemplate->CaptionRect();
        fit.area = QRect(caption.left(), caption.top(), pGroup->width() - caption.left() - caption.left(),
                         caption.height());
        fit.needed = LineSize(pGroup->font(), WithoutAccessKeys(text));
        return fit;
    }
    fit.area = pGroup->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, pGroup) &
               pGroup->rect();
    fit.needed = LineSize(pGroup->font(), WithoutAccessKeys(text));
    return fit;
}

// What a wider control would overlap in the strip it adds: the window's edge, the frame of a group
// box around it, or a neighbour. Hidden controls count: they may be shown later.
QWidget* BlockerOf(const QWidget* pControl, const QRect& strip)
{
    QWidget* pWindow = pControl->parentWidget();
    if (!pWindow)
        return nullptr;
    if (!pWindow->rect().contains(strip))
        return pWindow;
    for (QObject* pChild : pWindow->children()) {
        auto* pOther = qobject_cast<QWidget*>(pChild);
        if (!pOther || pOther == pControl || pOther->isWindow())
            continue;
        const QRect other = pOther->geometry();
        if (qobject_cast<QGroupBox*>(pOther) && other.contains(pControl->geometry())) {
            // A control framed by a group box stays inside its frame.
            const int nFrame = pOther->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, pOther);
            if (!other.adjusted(nFrame, 0, -nFrame, -nFrame).contains(strip))
                return pOther;
            continue;
        }
        if (other.intersects(strip))
            return pOther;
    }
    return nullptr;
}

}  // namespace

TextFit MeasureTextFit(const QWidget* pControl, const QString& text)
{
    if (auto* pLabel = qobject_cast<const QLabel*>(pControl))
        return LabelFit(pLabel, text);
    if (auto* pEdit = qobject_cast<const QLineEdit*>(pControl))
        return LineEditFit(pEdit, text);
    if (auto* pButton = qobject_cast<const QPushButton*>(pControl))
        return PushButtonFit(pButton, text);
    if (auto* pCheck = qobject_cast<const QCheckBox*>(pControl))
        return CheckBoxFit(pCheck, text);
    if (auto* pCombo = qobject_cast<const QComboBox*>(pControl))
        return ComboBoxFit(pCombo, text);
    if (auto* pGroup = qobject_cast<const QGroupBox*>(pControl))
        return GroupBoxFit(pGroup, text);
    TextFit fit;
    fit.needed = LineSize(pControl->font(), text);
    return fit;
}

QString ShownText(const QWidget* pControl)
{
    if (auto* pLabel = qobject_cast<const QLabel*>(pControl))
        return pLabel->text();
    if (auto* pEdit = qobject_cast<const QLineEdit*>(pControl))
        return pEdit->echoMode() == QLineEdit::Normal ? pEdit->text() : QString();
    if (auto* pButton = qobject_cast<const QAbstractButton*>(pControl))
        return pButton->text();
    if (auto* pCombo = qobject_cast<const QComboBox*>(pControl))
        return pCombo->currentText();
    if (auto* pGroup = qobject_cast<const QGroupBox*>(pControl))
        return pGroup->title();
    return {};
}

std::vector<TextGrowth> GrowToFitTexts(const std::vector<std::pair<QWidget*, QStringList>>& controls)
{
    std::vector<TextGrowth> growths;
    for (const auto& [pControl, texts] : controls) {
        TextGrowth growth;
        int nMissing = 0;
        for (const QString& text : texts) {
            const int nTextMissing = MeasureTextFit(pControl, text).MissingWidth();
            if (nTextMissing > nMissing) {
                nMissing = nTextMissing;
                growth.text = text;
            }
        }
        if (nMissing == 0)
            continue;
        const QRect geometry = pControl->geometry();
        growth.pControl = pControl;
        growth.nFromWidth = geometry.width();
        growth.nToWidth = geometry.width() + nMissing;
        growth.pBlocker = BlockerOf(pControl, QRect(geometry.right() + 1, geometry.top(), nMissing, geometry.height()));
        if (!growth.pBlocker) {
            pControl->resize(growth.nToWidth, geometry.height());
            growth.bGrown = true;
        }
        growths.push_back(growth);
    }
    return growths;
}
