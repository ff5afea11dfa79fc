// Execute and the transfer loop on the real window against the router simulator on the tests' router
// port of the test's own loopback address, with shortened time-outs: the status texts as the user sees
// them, the percentage and the bar, the message boxes (through the recorder, and once the real one), the
// default button, the history and the settings file, and the loop that waits without spinning.

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "AboutDlg.h"
#include "ClientDlg.h"
#include "DialogTestSupport.h"
#include "ResultMessages.h"
#include "RouterFixture.h"
#include "TftpEvents.h"
#include "TftpTransfer.h"

namespace {

using dialogtest::Q;
using velnor::sim::RouterSimOptions;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Short enough for tests (a silent router fails after half a second), long enough for a loaded machine
// to answer on loopback.
constexpr TransferTimings kFastTimings{100, 3000, testsupport::kTestRouterPort};

enum Operation { REVISION_UP = 0, GET_CONFIG = 1, PUT_CONFIG = 2 };

using dialogtest::SettingsBytes;

class TransferDlgTest : public testsupport::RouterFixture {
protected:
    void TearDown() override
    {
        m_pDlg.reset();
        m_pSim.reset();
        dialogtest::ExpectNoWindowLeft();
    }

    // The window, shown and active, with its display recorded as the user sees it: a status text is
    // recorded when it changes, every percentage shown in order.
    void CreateWindow()
    {
        m_pDlg = std::make_unique<CClientDlg>(nullptr, kFastTimings);
        m_statuses.clear();
        m_percents.clear();
        m_pDlg->m_onStatusShown = [this](int nIndex) {
            if (m_statuses.empty() || m_statuses.back() != nIndex)
                m_statuses.push_back(nIndex);
        };
        m_pDlg->m_onPercentShown = [this](int nPercent) { m_percents.push_back(nPercent); };
        m_pDlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_pDlg.get()));
    }

    // Operation, local file (through Browse), router address, password and file number.
    void Prepare(int nOperation, const fs::path& local, const std::string& password = {}, int nFileNumber = -1)
    {
        qobject_cast<QComboBox*>(m_pDlg->Control(CClientDlg::IDC_OPERATION))->setCurrentIndex(nOperation);
        m_files.SetNextFileName(local);
        Button(CClientDlg::IDC_BROWSE)->click();
        qobject_cast<QComboBox*>(m_pDlg->Control(CClientDlg::IDC_ROUTER))->setEditText(QString::fromStdString(m_strRouter));
        Edit(CClientDlg::IDC_PASSWORD)->setText(QString::fromStdString(password));
        if (nFileNumber >= 0) {
            qobject_cast<QAbstractButton*>(m_pDlg->Control(CClientDlg::IDC_SPECIFY_FILE))->click();
            qobject_cast<QComboBox*>(m_pDlg->Control(CClientDlg::IDC_FILE_NUMBER))->setCurrentIndex(nFileNumber);
        }
        m_statuses.clear();
        m_percents.clear();
    }

    bool Idle() const { return !m_pDlg->IsTransferRunning() && !m_pDlg->IsStepQueued(); }

    // Waits (at most a few seconds) until the transfer has returned to idle.
    ::testing::AssertionResult WaitForIdle(int nTimeoutMs = 8000)
    {
        if (QTest::qWaitFor([&] { return Idle(); }, nTimeoutMs))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the transfer did not end; phase " << g_pTransfer->GetPhase();
    }

    void Execute()
    {
        ASSERT_TRUE(Button(CClientDlg::IDC_EXECUTE)->isEnabled());
        Button(CClientDlg::IDC_EXECUTE)->click();
    }

    // A revision up of nSize bytes against a router that never answers, run until it has failed.
    void FailARevisionUpOnASilentRouter(std::size_t nSize)
    {
        PrepareARevisionUpForASilentRouter(nSize);
        Execute();
        ASSERT_TRUE(WaitForIdle());
    }

    // A router that never answers, and the window set for a revision up of nSize bytes to it.
    void PrepareARevisionUpForASilentRouter(std::size_t nSize)
    {
        RouterSimOptions options;
        options.silent = true;
        StartRouter(options);
        const fs::path local = m_localDir / "fw.bin";
        testsupport::WriteFileBytes(local, Bytes(nSize, 1));
        CreateWindow();
        Prepare(REVISION_UP, local);
    }

    QPushButton* Button(int nId) const { return qobject_cast<QPushButton*>(m_pDlg->Control(nId)); }
    QLineEdit* Edit(int nId) const { return qobject_cast<QLineEdit*>(m_pDlg->Control(nId)); }
    int Bar() const { return qobject_cast<QProgressBar*>(m_pDlg->Control(CClientDlg::IDC_PROGRESS))->value(); }
    QStringList RouterList() const
    {
        auto* pCombo = qobject_cast<QComboBox*>(m_pDlg->Control(CClientDlg::IDC_ROUTER));
        QStringList items;
        for (int i = 0; i < pCombo->count(); ++i)
            items.append(pCombo->itemText(i));
        return items;
    }
    fs::path SettingsPath() const { return m_cwdDir / "Velnor ClientV090.dat"; }

    void ExpectControlsEnabled()
    {
        for (int nId : {CClientDlg::IDC_OPERATION, CClientDlg::IDC_ROUTER, CClientDlg::IDC_PASSWORD,
                        CClientDlg::IDC_BROWSE, CClientDlg::IDCANCEL, CClientDlg::IDC_EXECUTE,
                        CClientDlg::IDC_SPECIFY_FILE})
            EXPECT_TRUE(m_pDlg->Control(nId)->isEnabled()) << nId;
    }

    testsupport::TempDir m_cwdDir;
    dialogtest::CurrentFolder m_cwd{m_cwdDir.Path()};
    dialogtest::MessageBoxRecorder m_boxes;
    dialogtest::FileDialogScript m_files;
    std::unique_ptr<CClientDlg> m_pDlg;
    std::vector<int> m_statuses;
    std::vector<int> m_percents;
};

// ---- Success ----------------------------------------------------------------------------------------

struct SuccessCase {
    const char* pszName;
    int nOperation;
    const char* pszRouterFile;
    const char* pszPassword;
    int nFileNumber;
    std::vector<int> statuses;
};

const SuccessCase kSuccessCases[] = {
    {"RevisionUp", REVISION_UP, "exec0", "", -1, {PHASE_PREPARE, PHASE_WAIT_REPLY, PHASE_SENDING, PHASE_FINISH}},
    {"RevisionUpToSlot1", REVISION_UP, "exec1", "", 1, {PHASE_PREPARE, PHASE_WAIT_REPLY, PHASE_SENDING, PHASE_FINISH}},
    {"PutConfiguration", PUT_CONFIG, "config3", "pw", 3, {PHASE_PREPARE, PHASE_WAIT_REPLY, PHASE_SENDING, PHASE_FINISH}},
    {"GetConfiguration", GET_CONFIG, "config2", "pw", 2, {PHASE_PREPARE, PHASE_WAIT_REPLY, PHASE_RECEIVING, PHASE_FINISH}},
    {"GetDefaultConfiguration", GET_CONFIG, "config0", "", -1, {PHASE_PREPARE, PHASE_WAIT_REPLY, PHASE_RECEIVING, PHASE_FINISH}},
};

TEST_F(TransferDlgTest, SuccessfulTransfersShowTheirPhasesAndEnterTheHistory)
{
    for (const SuccessCase& c : kSuccessCases) {
        SCOPED_TRACE(c.pszName);
        fs::remove(SettingsPath());
        RouterSimOptions options;
        options.password = c.pszPassword;
        StartRouter(options);
        const Bytes content = testsupport::PatternBytes(20 * 512 + 100, 3);
        const bool bReceive = c.nOperation == GET_CONFIG;
        const fs::path local = m_localDir / (bReceive ? "got.txt" : "send.file");
        testsupport::WriteFileBytes(bReceive ? m_routerDir / c.pszRouterFile : local, content);

        CreateWindow();
        Prepare(c.nOperation, local, c.pszPassword, c.nFileNumber);
        Execute();
        ASSERT_TRUE(WaitForIdle());

        EXPECT_EQ(m_statuses, c.statuses);
        EXPECT_TRUE(m_boxes.boxes.empty()) << "success shows no box";
        ASSERT_FALSE(m_percents.empty());
        EXPECT_EQ(m_percents.front(), 0);
        EXPECT_EQ(m_percents.back(), 100);
        EXPECT_TRUE(std::is_sorted(m_percents.begin(), m_percents.end()));
        if (bReceive) {
            // No total is known while receiving: 0 until the end shows 100.
            EXPECT_EQ(m_percents, (std::vector<int>{0, 100}));
        } else {
            EXPECT_GT(m_percents.size(), 5u) << "the percentage rises while sending";
        }
        EXPECT_EQ(Edit(CClientDlg::IDC_STATUS)->text(), Q("転送は正常に終了しました"));
        EXPECT_EQ(Edit(CClientDlg::IDC_PERCENT)->text(), QStringLiteral("100"));
        EXPECT_EQ(Bar(), 100);
        EXPECT_TRUE(Button(CClientDlg::IDCANCEL)->isDefault());
        EXPECT_FALSE(Button(CClientDlg::IDC_EXECUTE)->isDefault());
        ExpectControlsEnabled();
        EXPECT_TRUE(m_pDlg->m_bResetOnEdit);
        EXPECT_EQ(QApplication::focusWidget(), m_pDlg->Control(CClientDlg::IDC_OPERATION));
        EXPECT_EQ(RouterList(), QStringList{QString::fromStdString(m_strRouter)});
        EXPECT_EQ(testsupport::ReadFileBytes(bReceive ? local : m_routerDir / c.pszRouterFile), content);

        m_pDlg.reset();
        EXPECT_EQ(testsupport::ReadFileBytes(SettingsPath()),
                  SettingsBytes({m_strRouter}, m_strRouter, m_localDir.Path().string() + "/"));
    }
}

TEST_F(TransferDlgTest, WithheldLastAcknowledgementShowsTheFlashRomWrite)
{
    RouterSimOptions options;
    options.flashSeconds = 0.8;  // past the last retransmission (4 x 100 ms), inside the long wait
    StartRouter(options);
    const fs::path local = m_localDir / "fw.bin";
    testsupport::WriteFileBytes(local, testsupport::PatternBytes(3 * 512 + 7, 5));
    CreateWindow();
    Prepare(REVISION_UP, local);
    Execute();
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(m_statuses,
              (std::vector<int>{PHASE_PREPARE, PHASE_WAIT_REPLY, PHASE_SENDING, PHASE_WRITING_ROM, PHASE_FINISH}));
    EXPECT_TRUE(m_boxes.boxes.empty());
    EXPECT_EQ(m_percents.back(), 100);
}

// ---- Failures ---------------------------------------------------------------------------------------

TEST_F(TransferDlgTest, SilentRouterGivesOneNoResponseBoxAndLeavesHistoryAndSettingsAlone)
{
    const Bytes stored = SettingsBytes({"10.0.0.1"}, "10.0.0.1", "/data/");
    testsupport::WriteFileBytes(SettingsPath(), stored);
    FailARevisionUpOnASilentRouter(1000);
    if (HasFatalFailure())
        return;

    EXPECT_EQ(m_statuses, (std::vector<int>{PHASE_PREPARE, PHASE_WAIT_REPLY, PHASE_FAILED}));
    ASSERT_EQ(m_boxes.boxes.size(), 1u);
    EXPECT_EQ(m_boxes.boxes.front().strText, Q(LookupResultMessage(TFTP_ERR_NO_RESPONSE)));
    EXPECT_EQ(m_boxes.boxes.front().pOwner, m_pDlg.get());
    EXPECT_EQ(Edit(CClientDlg::IDC_STATUS)->text(), Q("転送は失敗しました"));
    EXPECT_EQ(Edit(CClientDlg::IDC_PERCENT)->text(), QStringLiteral("0"));
    EXPECT_TRUE(Button(CClientDlg::IDC_EXECUTE)->isDefault());
    EXPECT_FALSE(Button(CClientDlg::IDCANCEL)->isDefault());
    ExpectControlsEnabled();
    EXPECT_EQ(RouterList(), QStringList{QStringLiteral("10.0.0.1")});
    EXPECT_EQ(m_pSim->Stats().datagramsIn, 5u) << "the request and four retransmissions";

    m_pDlg.reset();
    EXPECT_EQ(testsupport::ReadFileBytes(SettingsPath()), stored);
}

TEST_F(TransferDlgTest, RouterErrorTextsChooseTheirMessages)
{
    struct PeerCase {
        const char* pszText;
        std::string expected;
    };
    const PeerCase cases[] = {
        {"No such file", LookupResultMessage(TFTP_ERR_NO_SUCH_FILE)},
        {"config4: No such file here", LookupResultMessage(TFTP_ERR_NO_SUCH_FILE)},
        {"Access violation", LookupResultMessage(TFTP_ERR_ACCESS_VIOLATION)},
        {"(Access violation)", LookupResultMessage(TFTP_ERR_ACCESS_VIOLATION)},
        {"NO SUCH FILE", "相手先からエラー通知がありました\n<NO SUCH FILE>"},
        {"ACCESS VIOLATION", "相手先からエラー通知がありました\n<ACCESS VIOLATION>"},
        {"Disk full or allocation exceeded", "相手先からエラー通知がありました\n<Disk full or allocation exceeded>"},
    };
    for (const PeerCase& c : cases) {
        SCOPED_TRACE(c.pszText);
        RouterSimOptions options;
        options.errorText = c.pszText;
        options.errorCode = 1;
        StartRouter(options);
        CreateWindow();
        Prepare(GET_CONFIG, m_localDir / "got.txt");
        m_boxes.boxes.clear();
        Execute();
        ASSERT_TRUE(WaitForIdle());
        EXPECT_EQ(m_statuses, (std::vector<int>{PHASE_PREPARE, PHASE_WAIT_REPLY, PHASE_FAILED}));
        ASSERT_EQ(m_boxes.boxes.size(), 1u);
        EXPECT_EQ(m_boxes.boxes.front().strText, QString::fromStdString(c.expected));
        EXPECT_FALSE(fs::exists(m_localDir / "got.txt")) << "nothing is written after a failed receive";
        m_pDlg.reset();
    }
}

TEST_F(TransferDlgTest, SocketFaultGivesExactlyOneBox)
{
    RouterSimOptions options;
    options.oversizedReply = true;  // a datagram larger than any TFTP packet: the socket's fault
    options.oversizedAtBlock = 2;
    StartRouter(options);
    testsupport::WriteFileBytes(m_routerDir / "config0", testsupport::PatternBytes(4 * 512, 9));
    CreateWindow();
    Prepare(GET_CONFIG, m_localDir / "got.txt");
    Execute();
    ASSERT_TRUE(WaitForIdle());
    ASSERT_EQ(m_boxes.boxes.size(), 1u);
    EXPECT_EQ(m_boxes.boxes.front().strText, Q("ネットワークデバイスに異常が発生しました"));
    EXPECT_EQ(g_pTransfer->GetResult(), TFTP_ERR_NET_FAULT);
    EXPECT_EQ(m_statuses, (std::vector<int>{PHASE_PREPARE, PHASE_WAIT_REPLY, PHASE_RECEIVING, PHASE_FAILED}));
    EXPECT_TRUE(Button(CClientDlg::IDC_EXECUTE)->isDefault());
    EXPECT_TRUE(RouterList() == QStringList{QString()}) << "the address of a failed transfer stays out";
}

TEST_F(TransferDlgTest, ReceivedFileThatCannotBeSavedFailsAfterTheAddressEnteredTheHistory)
{
    StartRouter();
    testsupport::WriteFileBytes(m_routerDir / "config0", testsupport::PatternBytes(700, 2));
    const fs::path missingFolder = m_localDir / "no such folder";
    fs::create_directory(missingFolder);
    CreateWindow();
    Prepare(GET_CONFIG, missingFolder / "config.txt");
    // The folder goes while the router is asked (a stick pulled out, another program): the check
    // before the request passed, the save at the end fails.
    const auto record = m_pDlg->m_onStatusShown;
    m_pDlg->m_onStatusShown = [&, record](int nIndex) {
        record(nIndex);
        if (nIndex == PHASE_WAIT_REPLY)
            fs::remove(missingFolder);
    };
    Execute();
    ASSERT_TRUE(WaitForIdle());

    EXPECT_EQ(m_statuses,
              (std::vector<int>{PHASE_PREPARE, PHASE_WAIT_REPLY, PHASE_RECEIVING, PHASE_FINISH, PHASE_FAILED}));
    const TftpResult nResult = g_pTransfer->GetResult();
    EXPECT_TRUE(nResult >= TFTP_ERR_FILE_OPEN && nResult <= TFTP_ERR_FILE_SAVE) << std::hex << nResult;
    ASSERT_EQ(m_boxes.boxes.size(), 1u);
    EXPECT_EQ(m_boxes.boxes.front().strText, Q(LookupResultMessage(nResult)));
    EXPECT_EQ(RouterList(), QStringList{QString::fromStdString(m_strRouter)});
    EXPECT_EQ(Edit(CClientDlg::IDC_STATUS)->text(), Q("転送は失敗しました"));

    m_pDlg.reset();
    EXPECT_EQ(testsupport::ReadFileBytes(SettingsPath()),
              SettingsBytes({m_strRouter}, m_strRouter, missingFolder.string() + "/"));
}

// ---- After a transfer -----------------------------------------------------------------------------

TEST_F(TransferDlgTest, OneCharacterTypedAfterATransferClearsTheDisplay)
{
    for (bool bSucceed : {true, false}) {
        SCOPED_TRACE(bSucceed);
        RouterSimOptions options;
        options.silent = !bSucceed;
        StartRouter(options);
        const fs::path local = m_localDir / "fw.bin";
        testsupport::WriteFileBytes(local, Bytes(3000, 7));
        CreateWindow();
        Prepare(REVISION_UP, local, "pw");
        Execute();
        ASSERT_TRUE(WaitForIdle());
        ASSERT_NE(Edit(CClientDlg::IDC_STATUS)->text(), QString());
        EXPECT_TRUE(m_pDlg->m_bResetOnEdit);

        QTest::keyClicks(Edit(CClientDlg::IDC_PASSWORD), "x");
        EXPECT_EQ(Edit(CClientDlg::IDC_STATUS)->text(), QString());
        EXPECT_EQ(Edit(CClientDlg::IDC_PERCENT)->text(), QStringLiteral("0"));
        EXPECT_EQ(Bar(), 0);
        EXPECT_FALSE(m_pDlg->m_bResetOnEdit);
        // The file and the password stay: Execute can be given again at once.
        EXPECT_TRUE(Button(CClientDlg::IDC_EXECUTE)->isEnabled());
        EXPECT_EQ(Edit(CClientDlg::IDC_PASSWORD)->text(), QStringLiteral("pwx"));
        m_pDlg.reset();
    }
}

TEST_F(TransferDlgTest, EnterAfterASuccessEndsTheProgram)
{
    StartRouter();
    const fs::path local = m_localDir / "fw.bin";
    testsupport::WriteFileBytes(local, Bytes(700, 1));
    CreateWindow();
    Prepare(REVISION_UP, local);
    Execute();
    ASSERT_TRUE(WaitForIdle());
    ASSERT_EQ(QApplication::focusWidget(), m_pDlg->Control(CClientDlg::IDC_OPERATION));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_FALSE(m_pDlg->isVisible());
    EXPECT_EQ(m_pDlg->result(), QDialog::Rejected);
    EXPECT_EQ(m_pSim->Stats().requests, 1u);
}

TEST_F(TransferDlgTest, EnterAfterAFailureStartsTheTransferAgain)
{
    FailARevisionUpOnASilentRouter(700);
    if (HasFatalFailure())
        return;
    ASSERT_EQ(m_boxes.boxes.size(), 1u);

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_TRUE(m_pDlg->isVisible());
    EXPECT_TRUE(m_pDlg->IsTransferRunning());
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(m_pSim->Stats().datagramsIn, 10u) << "two requests, each sent five times";
    // The second failure has its own box, and the status sequence of the second run ends failed again.
    EXPECT_EQ(m_boxes.boxes.size(), 2u);
}

// Sound behaviour: a transfer started again without an edit after a failure, failing at once while
// opening its socket, still reports its failure (its "failed" text was already shown).
TEST_F(TransferDlgTest, FailureInTheOpeningStepIsReportedAlsoWhenFailedWasAlreadyShown)
{
    FailARevisionUpOnASilentRouter(700);
    if (HasFatalFailure())
        return;
    ASSERT_EQ(m_boxes.boxes.size(), 1u);
    ASSERT_EQ(Edit(CClientDlg::IDC_STATUS)->text(), Q("転送は失敗しました"));
    m_statuses.clear();

    // No descriptor is left for the engine's socket: opening it fails at once.
    rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int nLowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(nLowestFree, 0);
    ::close(nLowestFree);
    rlimit limited = saved;
    limited.rlim_cur = static_cast<rlim_t>(nLowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limited), 0);
    Execute();  // no edit in between: "failed" is still shown
    const bool bEnded = static_cast<bool>(WaitForIdle());
    setrlimit(RLIMIT_NOFILE, &saved);

    ASSERT_TRUE(bEnded);
    ASSERT_EQ(m_boxes.boxes.size(), 2u);
    EXPECT_EQ(m_boxes.boxes[1].strText, Q(LookupResultMessage(TFTP_ERR_NET_OPEN)));
    EXPECT_EQ(m_statuses, (std::vector<int>{PHASE_FAILED}));
    EXPECT_TRUE(Button(CClientDlg::IDC_EXECUTE)->isDefault());
    EXPECT_EQ(m_pSim->Stats().datagramsIn, 5u) << "the second transfer sent nothing";
}

// Sound behaviour: while a transfer runs, the close box and Escape are refused as the disabled Exit
// button is; once it has ended they close the window.
TEST_F(TransferDlgTest, CloseAndEscapeAreRefusedWhileATransferRuns)
{
    PrepareARevisionUpForASilentRouter(700);
    Execute();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Button(CClientDlg::IDCANCEL)->isEnabled(); }, 2000));

    EXPECT_FALSE(m_pDlg->close());
    EXPECT_TRUE(m_pDlg->isVisible());
    QTest::keyClick(m_pDlg.get(), Qt::Key_Escape);
    EXPECT_TRUE(m_pDlg->isVisible());
    m_pDlg->reject();
    EXPECT_TRUE(m_pDlg->isVisible());
    EXPECT_TRUE(m_pDlg->IsTransferRunning());

    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(m_boxes.boxes.size(), 1u) << "the transfer ran to its own end";
    QTest::keyClick(m_pDlg.get(), Qt::Key_Escape);
    EXPECT_FALSE(m_pDlg->isVisible());
}

TEST_F(TransferDlgTest, ExecuteWhileTheSocketIsStillHeldIsRefusedAndTheTransferGoesOn)
{
    StartRouter();
    const fs::path local = m_localDir / "fw.bin";
    testsupport::WriteFileBytes(local, Bytes(2000, 4));
    CreateWindow();
    Prepare(REVISION_UP, local);
    // The step that shows the success still holds the socket (it is closed two steps later).
    bool bTried = false;
    m_pDlg->m_onStatusShown = [&](int nIndex) {
        m_statuses.push_back(nIndex);
        if (nIndex == PHASE_FINISH && !bTried) {
            bTried = true;
            m_pDlg->OnExecute();
        }
    };
    Execute();
    ASSERT_TRUE(WaitForIdle());
    ASSERT_TRUE(bTried);
    ASSERT_EQ(m_boxes.boxes.size(), 1u);
    EXPECT_EQ(m_boxes.boxes.front().strText, Q(LookupResultMessage(TFTP_ERR_NET_OPEN)));
    EXPECT_EQ(g_pTransfer->GetResult(), TFTP_OK);
    EXPECT_EQ(Edit(CClientDlg::IDC_STATUS)->text(), Q("転送は正常に終了しました"));
    EXPECT_EQ(m_pSim->Stats().requests, 1u);
}

TEST_F(TransferDlgTest, VersionBoxOpenedDuringATransferLetsItGoOn)
{
    RouterSimOptions options;
    options.flashSeconds = 0.8;
    StartRouter(options);
    const fs::path local = m_localDir / "fw.bin";
    testsupport::WriteFileBytes(local, Bytes(1500, 4));
    CreateWindow();
    Prepare(REVISION_UP, local);
    // Opened from inside a step, where the window shows "waiting for the reply".
    m_pDlg->m_onStatusShown = [&](int nIndex) {
        m_statuses.push_back(nIndex);
        if (nIndex == PHASE_WAIT_REPLY)
            m_pDlg->OnSysCommand(CClientDlg::IDM_ABOUTBOX);
    };
    Execute();
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_pDlg->findChild<CAboutDlg*>() != nullptr; }, 2000));
    CAboutDlg* pAbout = m_pDlg->findChild<CAboutDlg*>();
    ASSERT_TRUE(WaitForIdle());
    EXPECT_TRUE(pAbout->isVisible()) << "the box stayed open throughout";
    EXPECT_EQ(m_statuses,
              (std::vector<int>{PHASE_PREPARE, PHASE_WAIT_REPLY, PHASE_SENDING, PHASE_WRITING_ROM, PHASE_FINISH}));
    EXPECT_TRUE(m_boxes.boxes.empty());
    pAbout->close();
}

// The real message box of a failure, closed from a timer; the loop goes on after it.
TEST_F(TransferDlgTest, RealMessageBoxOfAFailureIsClosedAndTheTransferEnds)
{
    PrepareARevisionUpForASilentRouter(700);
    const CMessageBox::Handler saved = CMessageBox::SetHandler({});

    QString strText, strCaption;
    QMessageBox::Icon nIcon = QMessageBox::NoIcon;
    QWidget* pParent = nullptr;
    int nStatusWhileOpen = -1;
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
        pParent = pBox->parentWidget();
        nStatusWhileOpen = m_pDlg->m_nShownPhase;
        pBox->button(QMessageBox::Ok)->click();
    });
    timer.start();
    Execute();
    const bool bEnded = static_cast<bool>(WaitForIdle());
    CMessageBox::SetHandler(saved);
    ASSERT_TRUE(bEnded);
    EXPECT_EQ(strText, Q(LookupResultMessage(TFTP_ERR_NO_RESPONSE)));
    EXPECT_EQ(strCaption, QStringLiteral("Velnor Client"));
    EXPECT_EQ(nIcon, QMessageBox::Warning);
    EXPECT_EQ(pParent, m_pDlg.get());
    EXPECT_EQ(nStatusWhileOpen, PHASE_FAILED);
    EXPECT_TRUE(Button(CClientDlg::IDC_EXECUTE)->isDefault());
    ExpectControlsEnabled();
}

// While the router is silent the loop queues nothing: only the engine's time-outs wake it.
TEST_F(TransferDlgTest, WaitingForTheRouterRunsNoSteps)
{
    PrepareARevisionUpForASilentRouter(700);
    Execute();
    ASSERT_TRUE(QTest::qWaitFor([&] { return g_pTransfer->IsAwaitingEvent(); }, 2000));
    EXPECT_FALSE(m_pDlg->IsStepQueued());
    // From here to the first retransmission a whole time-out passes: it takes the step that notices
    // the time-out and the one that resends, nothing more.
    const std::uint64_t nSteps = m_pDlg->StepsRun();
    ASSERT_TRUE(QTest::qWaitFor([&] { return g_pTransfer->GetRetries() >= 1; }, 2000));
    EXPECT_LE(m_pDlg->StepsRun() - nSteps, 2u);
    ASSERT_TRUE(WaitForIdle());
    // Open, prepare, request, then two steps per time-out (notice it, resend), the failure and the
    // three closing steps: a few dozen at most, however long the waits.
    EXPECT_LT(m_pDlg->StepsRun(), 40u);
}

}  // namespace

namespace {

// Counts the step events that reach the window through the queue.
class StepEventCounter : public QObject {
public:
    int m_nPosted = 0;

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override
    {
        if (pEvent->type() == WM_TRANSFER_STEP)
            ++m_nPosted;
        return QObject::eventFilter(pWatched, pEvent);
    }
};

}  // namespace

// Each block's steps run in the notification of the datagram that brought it, not through the queue,
// and what waits in the queue meanwhile (here a timer started by the display) is still handled while
// the transfer runs, not after it.
TEST_F(TransferDlgTest, BlocksAreExchangedWithoutQueuedStepsAndTheWindowStaysServed)
{
    for (const int nOperation : {GET_CONFIG, REVISION_UP}) {
        SCOPED_TRACE(nOperation == GET_CONFIG ? "get configuration" : "revision up");
        StartRouter();
        const Bytes content = testsupport::PatternBytes(60 * 512 + 7, 5);
        const bool bReceive = nOperation == GET_CONFIG;
        const fs::path local = m_localDir / (bReceive ? "got.txt" : "fw.bin");
        testsupport::WriteFileBytes(bReceive ? m_routerDir / "config0" : local, content);
        CreateWindow();
        Prepare(nOperation, local);

        StepEventCounter counter;
        m_pDlg->installEventFilter(&counter);
        int nTimersStarted = 0;
        int nTimersServedDuringTheTransfer = 0;
        m_pDlg->m_onStatusShown = [&](int nIndex) {
            if (nIndex != PHASE_SENDING && nIndex != PHASE_RECEIVING)
                return;
            ++nTimersStarted;
            QTimer::singleShot(0, m_pDlg.get(), [&] {
                if (m_pDlg->IsTransferRunning() && g_pTransfer->GetPhase() < PHASE_FINISH)
                    ++nTimersServedDuringTheTransfer;
            });
        };
        const std::uint64_t nStepsBefore = m_pDlg->StepsRun();
        Execute();
        ASSERT_TRUE(WaitForIdle());
        m_pDlg->removeEventFilter(&counter);

        EXPECT_EQ(g_pTransfer->GetResult(), TFTP_OK);
        EXPECT_EQ(testsupport::ReadFileBytes(bReceive ? local : m_routerDir / "exec0"), content);
        // Two steps for each of the 61 blocks, besides those of the start and the end.
        EXPECT_GT(m_pDlg->StepsRun() - nStepsBefore, 2u * 61);
        EXPECT_LE(counter.m_nPosted, 2) << "the first step comes through the queue, the following ones need not";
        EXPECT_EQ(nTimersStarted, 1);
        EXPECT_EQ(nTimersServedDuringTheTransfer, 1);
        m_pDlg.reset();
    }
}

namespace {

// Nanoseconds the calling thread has waited for a processor so far (0 where the system does not
// say): a gap between two events that the machine's load made long is not the window's doing.
long long RunQueueWaitNs()
{
    long long nRunNs = 0, nWaitNs = 0;
    if (FILE* pFile = std::fopen("/proc/thread-self/schedstat", "r")) {
        if (std::fscanf(pFile, "%lld %lld", &nRunNs, &nWaitNs) != 2)
            nWaitNs = 0;
        std::fclose(pFile);
    }
    return nWaitNs;
}

}  // namespace

// The window's events (its painting, the user's input, its timers) are handled at least every 100 ms
// while the blocks go back and forth, and the window never waits for the router in the socket: with
// a fast router through a file of a couple of thousand blocks, and with a slow one, whose every wait
// serves them several times. Run in a real event loop, as the program runs the window.
TEST_F(TransferDlgTest, TheWindowsEventsAreHandledAtLeastEvery100MsWhileBlocksAreExchanged)
{
    struct Case {
        const char* name;
        double dReplyDelay;
        std::size_t nSize;
        int nMinTicks;  // ticks of the 10 ms timer during the exchange, at the least
    };
    const Case cases[] = {
        {"fast router", 0, 1024 * 1024, 1},
        // Four answers 60 ms late: four waits of 60 ms, with a 10 ms timer.
        {"router answering 60 ms late", 0.06, 3 * 512 + 100, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RouterSimOptions options;
        options.replyDelaySeconds = c.dReplyDelay;
        StartRouter(options);
        const Bytes content = testsupport::PatternBytes(c.nSize, 21);
        testsupport::WriteFileBytes(m_routerDir / "config0", content);
        const fs::path local = m_localDir / "got.txt";
        CreateWindow();
        Prepare(GET_CONFIG, local);

        QEventLoop loop;
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        ticker.setInterval(10);
        auto clock = std::chrono::steady_clock::now();
        long long nWaitNs = RunQueueWaitNs();
        bool bWasExchanging = false;
        int nTicks = 0;
        long long nLongestMs = 0;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const auto now = std::chrono::steady_clock::now();
            const long long nNowWaitNs = RunQueueWaitNs();
            const TransferPhase nPhase = g_pTransfer->GetPhase();
            const bool bExchanging = nPhase == PHASE_WAIT_REPLY || nPhase == PHASE_RECEIVING;
            if (bExchanging && bWasExchanging) {
                ++nTicks;
                const long long nHeldMs =
                    (std::chrono::duration_cast<std::chrono::nanoseconds>(now - clock).count() - (nNowWaitNs - nWaitNs))
                    / 1000000;
                nLongestMs = std::max(nLongestMs, nHeldMs);
            }
            clock = now;
            nWaitNs = nNowWaitNs;
            bWasExchanging = bExchanging;
            if (Idle())
                loop.quit();
        });
        QTimer::singleShot(8000, &loop, &QEventLoop::quit);
        ticker.start();
        Execute();
        loop.exec();
        ticker.stop();

        ASSERT_TRUE(Idle());
        EXPECT_EQ(g_pTransfer->GetResult(), TFTP_OK);
        EXPECT_EQ(testsupport::ReadFileBytes(local), content);
        EXPECT_GE(nTicks, c.nMinTicks);
        EXPECT_LE(nLongestMs, 100);
        m_pDlg.reset();
    }
}
