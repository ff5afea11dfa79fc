#include "WindowText.h"

#include <QString>
#include <QTextBoundaryFinder>

#include "SafeText.h"

namespace {

// The console's escaping shows a backslash as "\\" so that an escape cannot be forged on a terminal;
// a window interprets nothing, so a router's backslash is shown as sent.
std::string WithSingleBackslashes(const std::string& escaped)
{
    std::string out;
    out.reserve(escaped.size());
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        out += escaped[i];
        if (escaped[i] == '\\' && i + 1 < escaped.size() && escaped[i + 1] == '\\')
            ++i;
    }
    return out;
}

// Characters that are printable to a terminal but shape a window's text: line and paragraph
// separators, and the bidirectional embeddings, overrides and isolates.
bool ShapesLayout(char16_t ch)
{
    return ch == 0x2028 || ch == 0x2029 || (ch >= 0x202A && ch <= 0x202E) || (ch >= 0x2066 && ch <= 0x2069);
}

void AppendEscapedUtf8(QString& out, char16_t ch)
{
    const QByteArray bytes = QString(QChar(ch)).toUtf8();
    for (char byte : bytes)
        out += QStringLiteral("\\x%1").arg(static_cast<unsigned char>(byte), 2, 16, QLatin1Char('0'));
}

// Inserts a break opportunity into every run longer than kWindowTextRunLength characters that the
// line breaking rules give none.
QString WithBreaksInLongRuns(const QString& text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Line, text);
    QString out;
    out.reserve(text.size());
    qsizetype nRun = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        finder.setPosition(i);
        if (i > 0 && finder.isAtBoundary())
            nRun = 0;
        // A line may break after a space, not before it; a surrogate pair is one character and is
        // never split.
        if (nRun >= kWindowTextRunLength && !text[i].isSpace() && !text[i].isLowSurrogate()) {
            out += QChar(0x200B);
            nRun = 0;
        }
        out += text[i];
        if (text[i].isSpace())
            nRun = 0;
        else if (!text[i].isHighSurrogate())
            ++nRun;
    }
    return out;
}

}  // namespace

std::string RouterTextForWindow(std::string_view bytes)
{
    const QString escaped = QString::fromStdString(WithSingleBackslashes(EscapeForTerminal(bytes)));
    QString shown;
    shown.reserve(escaped.size());
    for (QChar ch : escaped) {
        if (ShapesLayout(ch.unicode()))
            AppendEscapedUtf8(shown, ch.unicode());
        else
            shown += ch;
    }
    return WithBreaksInLongRuns(shown).toStdString();
}
