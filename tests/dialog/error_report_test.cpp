// Result codes into message boxes: the composed text, the warning box with one OK button and the
// program's caption, and the router's own phrases. The last test shows a real QMessageBox.

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
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
