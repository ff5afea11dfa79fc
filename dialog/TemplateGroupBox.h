#pragma once
// A group box drawn as the templates' own platform draws one: a single etched frame whose top edge runs
// through the middle of the caption, and the caption on that line with a small gap on either side.
// Qt's styles put the caption above the frame instead, and the frame's top edge then falls a caption's
// height lower, where the template places the first controls it frames: they painted over the line.

#include <QGroupBox>
#include <QRect>

class CTemplateGroupBox : public QGroupBox {
    Q_OBJECT

public:
    explicit CTemplateGroupBox(const QString& strTitle, QWidget* pParent = nullptr);

    // The frame, in the box's own coordinates: its top edge is the line through the caption's middle.
    QRect FrameRect() const;
    // Where the caption is painted: the gap in the frame's top edge.
    QRect CaptionRect() const;

protected:
    void paintEvent(QPaintEvent* pEvent) override;
};
