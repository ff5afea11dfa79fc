// Result codes into message boxes: the composed text, the warning box with one OK button and the
// program's caption, and the router's own phrases. The last test shows a real QMessageBox.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include "DialogTestSupport.h"
#include "ErrorReport.h"
#include "ResultMessages.h"

namespace {

using dialogtest::Q;

TEST(ErrorReportTest, ReportShowsTheMessageOfTheCodeInAWarningBoxOwnedByTheWindow)
{
    dialogtest::MessageBoxRecorder boxes;
    QWidget owner;
    CErrorReport report(&owner);
    report.Report(TFTP_ERR_NO_RESPONSE);
    report.Report(0x1234);  // not in the table: the default row
    ASSERT_EQ(boxes.boxes.size(), 2u);
    const MessageBoxRecord& box = boxes.boxes[0];
    EXPECT_EQ(box.strText,
              Q("相手からの応答がありません\n\nLANケーブルが抜けているか、設定が間違って\nいる可能性があります。"
                "これらを確認し、再度\n[Velnor Client]を実行してください。"));
    EXPECT_EQ(box.strCaption, QStringLiteral("Velnor Client"));
    EXPECT_EQ(box.nIcon, QMessageBox::Warning);
    EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(box.pOwner, &owner);
    EXPECT_EQ(boxes.boxes[1].strText, Q("その他のエラーが発生しました"));
}

TEST(ErrorReportTest, PeerErrorsByTheRoutersText)
{
    struct PeerCase {
        const char* pszText;
        std::string expected;
    };
    const PeerCase cases[] = {
        {"No such file", LookupResultMessage(TFTP_ERR_NO_SUCH_FILE)},
        {"config3: No such file or directory", LookupResultMessage(TFTP_ERR_NO_SUCH_FILE)},
        {"Access violation", LookupResultMessage(TFTP_ERR_ACCESS_VIOLATION)},
        {"[Access violation!]", LookupResultMessage(TFTP_ERR_ACCESS_VIOLATION)},
        {"NO SUCH FILE", "相手先からエラー通知がありました\n<NO SUCH FILE>"},
        {"access violation", "相手先からエラー通知がありました\n<access violation>"},
        {"Disk full", "相手先からエラー通知がありました\n<Disk full>"},
        {"", "相手先からエラー通知がありました\n<>"},
        {"<b>bold</b>", "相手先からエラー通知がありました\n<<b>bold</b>>"},
    };
    for (const PeerCase& c : cases) {
        SCOPED_TRACE(c.pszText);
        dialogtest::MessageBoxRecorder boxes;
        CErrorReport().ReportPeerError(TFTP_ERR_PEER_ERROR, c.pszText);
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].strText, QString::fromStdString(c.expected));
    }
}

// Whatever the router's text holds, the box shows the program's message and one line in angle
// brackets, as plain text: no byte of the router's makes a line of its own or reorders the text.
TEST(ErrorReportTest, HostileRouterTextsCannotReshapeTheBox)
{
    struct HostileCase {
        std::string text;
        std::string shown;  // between the angle brackets
    };
    const HostileCase cases[] = {
        {"\x1b]0;owned\a\x1b[2J", "\\x1b]0;owned\\x07\\x1b[2J"},
        {"\r\nSuccess!", "\\x0d\\x0aSuccess!"},
        {"ok>\n\n\u8ee2\u9001\u306f\u6b63\u5e38\u306b\u7d42\u4e86\u3057\u307e\u3057\u305f",
         "ok>\\x0a\\x0a\u8ee2\u9001\u306f\u6b63\u5e38\u306b\u7d42\u4e86\u3057\u307e\u3057\u305f"},
        {"a\u2028b\u2029c", "a\\xe2\\x80\\xa8b\\xe2\\x80\\xa9c"},
        {"\u202Egnp.exe", "\\xe2\\x80\\xaegnp.exe"},
        {"\xc2\x9b" "31m\xff", "\\xc2\\x9b" "31m\\xff"},
        // Harmless texts exactly as sent.
        {"\u30d5\u30a1\u30a4\u30eb\u304c\u3042\u308a\u307e\u305b\u3093", "\u30d5\u30a1\u30a4\u30eb\u304c\u3042\u308a\u307e\u305b\u3093"},
        {"Disk full (C:\\flash)", "Disk full (C:\\flash)"},
    };
    for (const HostileCase& c : cases) {
        SCOPED_TRACE(c.text);
        dialogtest::MessageBoxRecorder boxes;
        CErrorReport().ReportPeerError(TFTP_ERR_PEER_ERROR, c.text);
        ASSERT_EQ(boxes.boxes.size(), 1u);
        const QString text = boxes.boxes[0].strText;
        EXPECT_EQ(text, Q("相手先からエラー通知がありました\n<" + c.shown + ">"));
        EXPECT_EQ(text.count(QLatin1Char('\n')), 1);
        for (QChar ch : text)
            EXPECT_TRUE(ch == QLatin1Char('\n') || (ch.unicode() >= 0x20 && ch.unicode() != 0x7F)) << static_cast<int>(ch.unicode());
    }
}

// The real box, with a text of the router's that would not fit the screen on one line: it keeps the
// width Qt gives a long message and wraps the text, all of it in view; CR and LF add no line to it.
TEST(ErrorReportTest, RealBoxKeepsItsShapeForLongAndLineForgingTexts)
{
    QWidget owner;
    owner.show();
    struct Shape {
        QSize box;
        int nLabelHeight = 0;
        int nTextHeight = 0;  // what the label's text needs at its width
    };
    const auto shapeOf = [&](const std::string& routerText) {
        Shape shape;
        QTimer timer;
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!pBox || !pBox->isVisible())
                return;
            timer.stop();
            auto* pLabel = pBox->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
            shape.box = pBox->size();
            shape.nLabelHeight = pLabel->height();
            shape.nTextHeight = pLabel->heightForWidth(pLabel->width());
            pBox->button(QMessageBox::Ok)->click();
        });
        timer.start();
        CErrorReport(&owner).ReportPeerError(TFTP_ERR_PEER_ERROR, routerText);
        return shape;
    };
    const Shape plain = shapeOf("Disk full");
    const Shape forged = shapeOf("\r\nSuccess!");
    EXPECT_EQ(forged.nLabelHeight, plain.nLabelHeight) << "a line of the router's own";

    const Shape longRun = shapeOf(std::string(511, 'W'));
    const int nScreenWidth = owner.screen()->availableGeometry().width();
    EXPECT_LE(longRun.box.width(), std::max(plain.box.width(), std::min(nScreenWidth / 2, 500) + 150));
    EXPECT_LE(longRun.nTextHeight, longRun.nLabelHeight) << "part of the text is out of view";
    EXPECT_GT(longRun.nLabelHeight, plain.nLabelHeight * 3) << "the text wraps";
    owner.hide();
    dialogtest::ExpectNoWindowLeft();
}

// The real box: modal, warning icon, one OK button, the caption, the text as plain text (a router's
// text in angle brackets is never markup). Closed from a timer by clicking OK.
TEST(ErrorReportTest, RealMessageBoxIsAModalWarningWithOneOkButton)
{
    QWidget owner;
    owner.show();
    QString strText, strCaption;
    QMessageBox::Icon nIcon = QMessageBox::NoIcon;
    int nButtons = 0;
    Qt::TextFormat nFormat = Qt::AutoText;
    bool bModal = false;
    QWidget* pParent = nullptr;
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!pBox)
            return;
        timer.stop();
        strText = pBox->text();
        strCaption = pBox->windowTitle();
        nIcon = pBox->icon();
        nButtons = static_cast<int>(pBox->buttons().size());
        nFormat = pBox->textFormat();
        bModal = pBox->isModal();
        pParent = pBox->parentWidget();
        pBox->button(QMessageBox::Ok)->click();
    });
    timer.start();
    CErrorReport(&owner).ReportPeerError(TFTP_ERR_PEER_ERROR, "<b>Disk full</b>");
    EXPECT_EQ(strText, Q("相手先からエラー通知がありました\n<<b>Disk full</b>>"));
    EXPECT_EQ(strCaption, QStringLiteral("Velnor Client"));
    EXPECT_EQ(nIcon, QMessageBox::Warning);
    EXPECT_EQ(nButtons, 1);
    EXPECT_EQ(nFormat, Qt::PlainText);
    EXPECT_TRUE(bModal);
    EXPECT_EQ(pParent, &owner);
    owner.hide();
    dialogtest::ExpectNoWindowLeft();
}

}  // namespace
