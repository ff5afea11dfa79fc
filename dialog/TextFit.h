#pragma once
// Whether a control shows its text whole, measured as the control itself paints it: with its own font
// and the margins its style keeps around the text.
//
// The templates' rectangles were measured for a Japanese font that Linux desktops do not have. The
// substitute is wider for some texts, and a label that cuts off its own last character is plainly
// wrong. So a control keeps the left and top the template gives it and, where its text needs more
// room, grows to the text's width, but only into space that no other control takes.

#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <utility>
#include <vector>

class QWidget;

struct TextFit {
    QRect area;    // where the control paints its text, in the control's own coordinates
    QSize needed;  // what the text takes in the control's font, its ink included

    bool Fits() const { return needed.width() <= area.width() && needed.height() <= area.height(); }
    // How much wider the control must be for the text to fit.
    int MissingWidth() const { return std::max(0, needed.width() - area.width()); }
};

// How a text fits a label, a push button, a check box, a line edit, a combo box or a group box (its
// title). Another kind of control gets an empty area, so that no text fits it.
TextFit MeasureTextFit(const QWidget* pControl, const QString& text);

// The text a control shows now: a caption, a field's text, the current item, a group's title. Empty
// for a control without text and for a masked field (its dots are not its text).
QString ShownText(const QWidget* pControl);

// The widening of one control, or why it could not be widened.
struct TextGrowth {
    QWidget* pControl = nullptr;
    QString text;                  // the widest of its texts
    int nFromWidth = 0;
    int nToWidth = 0;              // what its texts need; the control has it only when bGrown
    bool bGrown = false;
    QWidget* pBlocker = nullptr;   // what the wider control would overlap: a neighbour, a frame
                                   // or the window itself; null when grown
};

// Each control whose texts do not all fit is widened to the width the widest needs, keeping its left,
// top and height, when the added strip overlaps no other control of its window, stays inside the
// window and inside the group box that frames it. Controls whose texts fit are left alone and not
// listed. Controls are handled in the order given, each against its neighbours as they stand.
std::vector<TextGrowth> GrowToFitTexts(const std::vector<std::pair<QWidget*, QStringList>>& controls);
