#pragma once
// A label whose text wraps only where the text itself allows a line to end. Qt's wrapping treats
// Japanese as breakable after any character, so a word such as "クライアント" could be cut in two;
// here a line ends only at a space, after Japanese punctuation (、。 and the closing brackets), or
// where a Latin word follows Japanese. A text with no such place left on a line that is too narrow is
// cut where it must, so that nothing is ever lost.

#include <QLabel>
#include <QStringList>

class QFont;

// The lines of text at nWidth pixels in font, broken as above.
QStringList WrapAtPhrases(const QFont& font, const QString& text, int nWidth);

class CPhraseLabel : public QLabel {
    Q_OBJECT

public:
    using QLabel::QLabel;

    // The lines as painted in the label's contents.
    QStringList Lines() const;

protected:
    void paintEvent(QPaintEvent* pEvent) override;
};
