#include "TemplateGroupBox.h"

#include <QPainter>
#include <QRegion>
#include <QStyle>

#include "DialogUnits.h"

namespace {

// Space kept clear of the frame's line on either side of the caption.
constexpr int kCaptionGap = 2;

}  // namespace

CTemplateGroupBox::CTemplateGroupBox(const QString& strTitle, QWidget* pParent) : QGroupBox(strTitle, pParent)
{
}

QRect CTemplateGroupBox::FrameRect() const
{
    return rect().adjusted(0, fontMetrics().height() / 2, 0, 0);
}

QRect CTemplateGroupBox::CaptionRect() const
{
    if (title().isEmpty())
        return {};
    // The caption starts a character's width in from the frame's left edge, as in the template.
    const int nLeft = CDialogUnits(font()).X(4) + kCaptionGap;
    const int nWidth = fontMetrics().horizontalAdvance(QString(title()).remove(QLatin1Char('&')));
    return QRect(nLeft, 0, nWidth, fontMetrics().height()) & rect();
}

void CTemplateGroupBox::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect caption = CaptionRect();
    if (!caption.isEmpty()) {
        painter.setClipRegion(QRegion(rect()) - QRegion(caption.adjusted(-kCaptionGap, 0, kCaptionGap, 0)));
    }
    // Etched: a shadow line with a light line one pixel right of and below it.
    const QRect frame = FrameRect().adjusted(0, 0, -2, -2);
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Mid));
    painter.drawRect(frame);
    painter.setPen(palette().color(QPalette::Light));
    painter.drawRect(frame.translated(1, 1));
    painter.setClipping(false);
    if (!caption.isEmpty()) {
        style()->drawItemText(&painter, caption, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic, palette(),
                              isEnabled(), title(), QPalette::WindowText);
    }
}
