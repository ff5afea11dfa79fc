// Start-up and shut-down: the network-stack check and its one message, the modal run of the transfer
// window (ended from a timer that watches the active modal window), and the settings file it leaves.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QPushButton>
#include <QTimer>

#include <filesystem>
#include <vector>

#include "ClientApp.h"
#include "ClientDlg.h"
#include "DialogTestSupport.h"

namespace {

using dialogtest::Q;
namespace fs = std::filesystem;

class ClientAppTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        CClientApp::SetNetworkCheckForTest({});
        dialogtest::ExpectNoWindowLeft();
    }

    fs::path SettingsPath() const { return m_dir / "Velnor ClientV090.dat"; }

    // Runs InitInstance; the transfer window is closed with its Exit button as soon as it runs modally.
    bool RunAndExit(CClientApp& app, bool* pSawWindow)
    {
        QTimer timer;
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            auto* pDlg = qobject_cast<CClientDlg*>(QApplication::activeModalWidget());
            if (!pDlg)
                return;
            *pSawWindow = true;
            EXPECT_EQ(app.m_pMainWnd, pDlg);
            EXPECT_TRUE(fs::exists(SettingsPath())) << "the settings file exists while the window runs";
            qobject_cast<QPushButton*>(pDlg->Control(CClientDlg::IDCANCEL))->click();
        });
        timer.start();
        return app.InitInstance();
    }

    testsupport::TempDir m_dir;
    dialogtest::CurrentFolder m_cwd{m_dir.Path()};
    dialogtest::MessageBoxRecorder m_boxes;
};

TEST_F(ClientAppTest, NetworkFailureShowsString103AndCreatesNoSettingsFile)
{
    CClientApp::SetNetworkCheckForTest([] { return false; });
    bool bSawWindow = false;
    m_boxes.onShow = [&](const MessageBoxRecord&) {
        bSawWindow = QApplication::activeModalWidget() != nullptr;
    };
    CClientApp app;
    EXPECT_FALSE(app.InitInstance());
    ASSERT_EQ(m_boxes.boxes.size(), 1u);
    const MessageBoxRecord& box = m_boxes.boxes.front();
    EXPECT_EQ(box.strText, Q("Windows ソケットの初期化に失敗しました。"));
    EXPECT_EQ(box.strCaption, QStringLiteral("Velnor Client"));
    EXPECT_EQ(box.nIcon, QMessageBox::Warning);
    EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(box.pOwner, nullptr);
    EXPECT_FALSE(bSawWindow);
    EXPECT_FALSE(fs::exists(SettingsPath()));
    EXPECT_EQ(app.m_pMainWnd, nullptr);
    EXPECT_EQ(g_pSetData, nullptr);
    EXPECT_EQ(g_pTransfer, nullptr);
}

TEST_F(ClientAppTest, StartAndExitCreatesTheEmptySettingsFile)
{
    CClientApp app;
    bool bSawWindow = false;
    EXPECT_FALSE(RunAndExit(app, &bSawWindow));
    EXPECT_TRUE(bSawWindow);
    EXPECT_TRUE(m_boxes.boxes.empty());
    EXPECT_EQ(testsupport::ReadFileBytes(SettingsPath()), std::vector<std::uint8_t>(12, 0));
    // The window is gone with its engine and settings object.
    EXPECT_EQ(app.m_pMainWnd, nullptr);
    EXPECT_EQ(g_pSetData, nullptr);
    EXPECT_EQ(g_pTransfer, nullptr);
}

TEST_F(ClientAppTest, StartAndExitLeavesAnExistingSettingsFileUnchanged)
{
    // One address in the history, nine empty entries, another last address, a folder, and bytes after
    // the twelfth record, which are the file's own business.
    std::vector<std::uint8_t> stored = {9, '1', '0', '.', '0', '.', '0', '.', '1', '7'};
    stored.insert(stored.end(), 9, 0);
    stored.insert(stored.end(), {8, '1', '0', '.', '0', '.', '0', '.', '1', 6, '/', 't', 'm', 'p', '/', 'x'});
    stored.insert(stored.end(), {0xAA, 0xBB});
    testsupport::WriteFileBytes(SettingsPath(), stored);
    const auto before = fs::last_write_time(SettingsPath());

    CClientApp app;
    bool bSawWindow = false;
    EXPECT_FALSE(RunAndExit(app, &bSawWindow));
    EXPECT_TRUE(bSawWindow);
    EXPECT_EQ(testsupport::ReadFileBytes(SettingsPath()), stored);
    EXPECT_EQ(fs::last_write_time(SettingsPath()), before);
}

TEST_F(ClientAppTest, RealNetworkCheckPassesOnThisMachine)
{
    EXPECT_TRUE(CClientApp::CheckNetworkStack());
}

TEST_F(ClientAppTest, ApplicationFontAndJapaneseQtTextsAreInstalled)
{
    CClientApp app;
    app.InitApplication();
    EXPECT_EQ(QApplication::font().family(), Q("ＭＳ Ｐゴシック"));
    EXPECT_EQ(QApplication::font().pointSize(), 9);
    // Qt's own buttons (the file dialog's Cancel, for instance) speak Japanese.
    const QString cancel = QCoreApplication::translate("QPlatformTheme", "Cancel");
    EXPECT_NE(cancel, QStringLiteral("Cancel"));
    EXPECT_TRUE(cancel.contains(Q("キャンセル"))) << cancel.toStdString();
}

}  // namespace
