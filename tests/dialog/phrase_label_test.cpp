// Where a wrapped text of the window may end a line: at a space, after Japanese punctuation, or where a
// Latin word follows Japanese; never inside a Japanese word, unless no such place fits at all.

#include <gtest/gtest.h>

#include <QFontMetricsF>
#include <QTest>

#include <string>

#include "AboutDlg.h"
#include "DialogTestSupport.h"
#include "DialogUnits.h"
#include "PhraseLabel.h"
#include "Texts.h"

namespace {

using dialogtest::Q;

int Width(const QFont& font, const QString& text)
{
    return qCeil(QFontMetricsF(font).horizontalAdvance(text));
}

std::string Joined(const QStringList& lines)
{
    return lines.join(QStringLiteral(" | ")).toStdString();
}

TEST(PhraseWrapTest, LinesEndOnlyWhereTheTextAllows)
{
    const QFont font = DialogFont();
    struct Case {
        const char* name;
        QString text;
        QString widthOf;  // the line is as wide as this text, less a pixel
        QStringList lines;
    };
    const QString sentence = Q(kAboutSentence);
    const Case cases[] = {
        {"fits on its line", sentence, sentence, {sentence}},
        {"before the Latin word, not inside the katakana word", sentence,
         QStringLiteral("本ソフトウェアは、当社ルータシリーズ専用のTFTPクラ"),
         {QStringLiteral("本ソフトウェアは、当社ルータシリーズ専用の"), QStringLiteral("TFTPクライアントです。")}},
        {"after the comma", sentence, QStringLiteral("本ソフトウェアは、当社ルータシリーズ専用の"),
         {QStringLiteral("本ソフトウェアは、"), QStringLiteral("当社ルータシリーズ専用の"),
          QStringLiteral("TFTPクライアントです。")}},
        {"at spaces between Latin words", QStringLiteral("Velnor Client developers"),
         QStringLiteral("Velnor Client dev"), {QStringLiteral("Velnor Client"), QStringLiteral("developers")}},
        {"before a bracket after Japanese", QStringLiteral("確認し、再度[Velnor Client]を実行"),
         QStringLiteral("確認し、再度[Vel"),
         {QStringLiteral("確認し、再度"), QStringLiteral("[Velnor"), QStringLiteral("Client]を実行")}},
        {"a word with no place to end is cut where it must", QStringLiteral("クライアント"), QStringLiteral("クライア"),
         {QStringLiteral("クライ"), QStringLiteral("アント")}},
        {"empty", QString(), QStringLiteral("x"), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QStringList lines = WrapAtPhrases(font, c.text, Width(font, c.widthOf) - (c.widthOf == c.text ? 0 : 1));
        EXPECT_EQ(Joined(lines), Joined(c.lines));
        // Nothing lost but the spaces at the line ends.
        EXPECT_EQ(lines.join(QString()).remove(u' ').toStdString(), QString(c.text).remove(u' ').toStdString());
    }
}

bool IsKatakana(QChar c)
{
    return c.unicode() >= 0x30A0 && c.unicode() <= 0x30FF;
}

// The version box as a person sees it, on whichever platform and scale the test runs: the sentence in
// two lines, none ending inside a word.
TEST(PhraseWrapTest, TheVersionBoxNeverCutsAWord)
{
    CAboutDlg about;
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    auto* pLabel = qobject_cast<CPhraseLabel*>(about.Control(CAboutDlg::IDC_TEXT_PURPOSE));
    ASSERT_NE(pLabel, nullptr);
    EXPECT_EQ(pLabel->text(), Q(kAboutSentence));
    const QStringList lines = pLabel->Lines();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.join(QString()), Q(kAboutSentence));
    for (qsizetype i = 1; i < lines.size(); ++i)
        EXPECT_FALSE(IsKatakana(lines[i - 1].back()) && IsKatakana(lines[i].front())) << Joined(lines);
    for (const QString& line : lines)
        EXPECT_LE(Width(pLabel->font(), line), pLabel->contentsRect().width()) << line.toStdString();
    EXPECT_LE(lines.size() * pLabel->fontMetrics().lineSpacing(), pLabel->height() + pLabel->fontMetrics().leading());
    about.close();
}

}  // namespace
