// The version box: its content, how it closes, and how the transfer window opens it (the context menu
// standing in for the title bar's menu, Alt+F1, the command id).

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <memory>

#include "AboutDlg.h"
#include "ClientDlg.h"
#include "DialogTestSupport.h"
#include "DialogUnits.h"

namespace {

using dialogtest::Q;

TEST(AboutDlgTest, ShowsNameVersionIconSentenceAndRights)
{
    CAboutDlg dlg;
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    EXPECT_EQ(dlg.windowTitle(), Q("ﾊﾞｰｼﾞｮﾝ情報 Velnor Client"));
    const CDialogUnits units(dlg.font());
    EXPECT_EQ(dlg.size(), QSize(units.X(217), units.Y(98)));

    EXPECT_EQ(dlg.ProgramNameLabel()->text(), QStringLiteral("Velnor Client Ver."));
    EXPECT_EQ(dlg.ProgramNameLabel()->textFormat(), Qt::PlainText);
    auto* pVersion = qobject_cast<QLineEdit*>(dlg.Control(CAboutDlg::IDC_EDIT_VERSION));
    ASSERT_NE(pVersion, nullptr);
    EXPECT_EQ(dlg.m_strVersion, "1.21");
    EXPECT_EQ(pVersion->text(), QStringLiteral("1.21"));
    EXPECT_TRUE(pVersion->isReadOnly());
    EXPECT_FALSE(pVersion->hasFrame());
    EXPECT_FALSE(pVersion->focusPolicy() & Qt::TabFocus);
    // The version stands to the right of the name on the same line, in its template's 40 x 14 units.
    EXPECT_GT(pVersion->x(), dlg.ProgramNameLabel()->x() + dlg.ProgramNameLabel()->width() - 1);
    EXPECT_EQ(pVersion->y(), dlg.ProgramNameLabel()->y());
    EXPECT_EQ(pVersion->geometry(), units.Rect(124, 17, 40, 14));

    // The icon control is 20 x 20 units and its icon lies inside it.
    auto* pIcon = qobject_cast<QLabel*>(dlg.Control(CAboutDlg::IDC_ICON_APP));
    ASSERT_NE(pIcon, nullptr);
    EXPECT_EQ(pIcon->geometry(), units.Rect(11, 17, 20, 20));
    EXPECT_FALSE(pIcon->pixmap().isNull());
    const QSizeF iconSize = pIcon->pixmap().deviceIndependentSize();
    EXPECT_LE(iconSize.width(), pIcon->width());
    EXPECT_LE(iconSize.height(), pIcon->height());
    EXPECT_GE(iconSize.width(), 16);
    auto* pPurpose = qobject_cast<QLabel*>(dlg.Control(CAboutDlg::IDC_TEXT_PURPOSE));
    ASSERT_NE(pPurpose, nullptr);
    EXPECT_TRUE(pPurpose->wordWrap());
    EXPECT_TRUE(pPurpose->text().contains(QStringLiteral("TFTP")));
    EXPECT_TRUE(dlg.RightsLabel()->text().contains(QStringLiteral("Velnor Client")));
    // Every text fits its template box.
    for (QLabel* pLabel : {dlg.ProgramNameLabel(), dlg.RightsLabel()})
        EXPECT_LE(pLabel->fontMetrics().horizontalAdvance(pLabel->text()), pLabel->width()) << pLabel->text().toStdString();

    auto* pOk = qobject_cast<QPushButton*>(dlg.Control(CAboutDlg::IDOK));
    ASSERT_NE(pOk, nullptr);
    EXPECT_TRUE(pOk->isDefault());
    EXPECT_EQ(QApplication::focusWidget(), pOk);
    pOk->click();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
}

TEST(AboutDlgTest, EscapeAndTheCloseBoxEndItToo)
{
    {
        CAboutDlg dlg;
        dlg.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
        QTest::keyClick(&dlg, Qt::Key_Escape);
        EXPECT_FALSE(dlg.isVisible());
    }
    {
        CAboutDlg dlg;
        dlg.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
        EXPECT_TRUE(dlg.close());
        EXPECT_FALSE(dlg.isVisible());
    }
    dialogtest::ExpectNoWindowLeft();
}

class AboutFromClientDlgTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_pDlg = std::make_unique<CClientDlg>();
        m_pDlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_pDlg.get()));
    }
    void TearDown() override
    {
        m_pDlg.reset();
        dialogtest::ExpectNoWindowLeft();
    }

    QList<CAboutDlg*> OpenBoxes() const
    {
        QList<CAboutDlg*> boxes;
        for (CAboutDlg* pBox : m_pDlg->findChildren<CAboutDlg*>())
            if (pBox->isVisible())
                boxes.append(pBox);
        return boxes;
    }

    testsupport::TempDir m_dir;
    dialogtest::CurrentFolder m_cwd{m_dir.Path()};
    dialogtest::MessageBoxRecorder m_boxes;
    std::unique_ptr<CClientDlg> m_pDlg;
};

TEST_F(AboutFromClientDlgTest, MenuOffersTheVersionItemWithItsCommandId)
{
    QMenu* pMenu = m_pDlg->SystemMenu();
    ASSERT_NE(pMenu, nullptr);
    const QList<QAction*> actions = pMenu->actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_TRUE(actions[0]->isSeparator());
    EXPECT_EQ(actions[1]->text(), Q("バージョン情報(Velnor Client)..."));
    EXPECT_EQ(actions[1]->data().toUInt(), CClientDlg::IDM_ABOUTBOX);

    actions[1]->trigger();
    ASSERT_EQ(OpenBoxes().size(), 1);
    CAboutDlg* pBox = OpenBoxes().front();
    EXPECT_EQ(pBox->windowModality(), Qt::WindowModal);
    EXPECT_EQ(pBox->parentWidget(), m_pDlg.get());
    pBox->close();
    dialogtest::FlushDeferredDeletes();
    EXPECT_TRUE(m_pDlg->findChildren<CAboutDlg*>().isEmpty()) << "the box is destroyed when it closes";
}

TEST_F(AboutFromClientDlgTest, CommandIdIsComparedWithoutItsLowFourBits)
{
    struct CommandCase {
        unsigned nId;
        bool bOpens;
    };
    for (const CommandCase& c : {CommandCase{0x0010, true}, CommandCase{0x001F, true}, CommandCase{0x0020, false},
                                 CommandCase{0xF060, false}, CommandCase{0x0000, false}}) {
        SCOPED_TRACE(c.nId);
        m_pDlg->OnSysCommand(c.nId);
        EXPECT_EQ(OpenBoxes().size(), c.bOpens ? 1 : 0);
        for (CAboutDlg* pBox : OpenBoxes())
            pBox->close();
        dialogtest::FlushDeferredDeletes();
    }
}

TEST_F(AboutFromClientDlgTest, OpensAnyNumberOfTimesWithTheSameContent)
{
    for (int i = 0; i < 3; ++i) {
        m_pDlg->OnSysCommand(CClientDlg::IDM_ABOUTBOX);
        ASSERT_EQ(OpenBoxes().size(), 1);
        CAboutDlg* pBox = OpenBoxes().front();
        ASSERT_TRUE(QTest::qWaitForWindowActive(pBox));
        EXPECT_EQ(qobject_cast<QLineEdit*>(pBox->Control(CAboutDlg::IDC_EDIT_VERSION))->text(), QStringLiteral("1.21"));
        QTest::keyClick(pBox, Qt::Key_Escape);
        dialogtest::FlushDeferredDeletes();
        EXPECT_TRUE(m_pDlg->findChildren<CAboutDlg*>().isEmpty());
    }
}

TEST_F(AboutFromClientDlgTest, ContextMenuAndAltF1PopUpTheMenu)
{
    QMenu* pMenu = m_pDlg->SystemMenu();
    ASSERT_NE(pMenu, nullptr);

    QContextMenuEvent mouse(QContextMenuEvent::Mouse, QPoint(5, 5), m_pDlg->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(m_pDlg.get(), &mouse);
    EXPECT_TRUE(QTest::qWaitFor([&] { return pMenu->isVisible(); }, 2000));
    pMenu->hide();
    m_pDlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_pDlg.get()));

    // The menu key on a control without a menu of its own reaches the window.
    QWidget* pOperation = m_pDlg->Control(CClientDlg::IDC_OPERATION);
    QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(0, 0), pOperation->mapToGlobal(QPoint(0, 0)));
    QApplication::sendEvent(pOperation, &key);
    EXPECT_TRUE(QTest::qWaitFor([&] { return pMenu->isVisible(); }, 2000));
    pMenu->hide();

    m_pDlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_pDlg.get()));
    QTest::keyClick(m_pDlg.get(), Qt::Key_F1, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return pMenu->isVisible(); }, 2000));
    pMenu->actions().at(1)->trigger();
    pMenu->hide();
    ASSERT_EQ(OpenBoxes().size(), 1);
    OpenBoxes().front()->close();
}

}  // namespace
