#pragma once
// The transfer window (template 102): the program's only main window. It offers the three operations on
// one router, collects what a transfer needs, decides when Execute may be given, and drives the engine
// one step per WM_TRANSFER_STEP while showing the progress.
//
// It owns the settings object and the engine for its whole life (g_pSetData, g_pTransfer): the
// settings object is created first and deleted last, so that the engine is gone before the settings
// file is written.

#include <QDialog>
#include <QElapsedTimer>
#include <QIcon>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Operations.h"
#include "SetData.h"
#include "TextFit.h"
#include "TftpTransfer.h"
#include "TftpTypes.h"
#include "TransferDriver.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;

// The one engine of the run; set by the transfer window, which owns it.
extern CTftpTransfer* g_pTransfer;

class CClientDlg : public QDialog, private CStepLoop::Owner {
    Q_OBJECT
public:
    // Template 102 and its control ids.
    static constexpr int IDD = 102;
    static constexpr int IDC_EXECUTE = 1000;
    static constexpr int IDC_FILE_NAME = 1001;
    static constexpr int IDC_PASSWORD = 1003;
    static constexpr int IDC_OPERATION = 1005;
    static constexpr int IDC_BROWSE = 1006;
    static constexpr int IDC_STATUS = 1007;
    static constexpr int IDC_PERCENT = 1008;
    static constexpr int IDC_LABEL_OPERATION = 1009;
    static constexpr int IDC_LABEL_FILE_NAME = 1010;
    static constexpr int IDC_LABEL_ROUTER = 1011;
    static constexpr int IDC_LABEL_PASSWORD = 1012;
    static constexpr int IDC_GROUP_PROGRESS = 1013;
    static constexpr int IDC_LABEL_PERCENT = 1014;
    static constexpr int IDC_ROUTER = 1016;
    static constexpr int IDC_SPECIFY_FILE = 1018;
    static constexpr int IDC_FILE_NUMBER = 1020;
    static constexpr int IDC_PROGRESS = 1041;
    static constexpr int IDCANCEL = 2;
    // The label of the file-number list has no id of its own.
    static constexpr int IDC_STATIC = -1;

    // Command id of the version box's menu item (the low four bits belong to the system).
    static constexpr unsigned IDM_ABOUTBOX = 0x0010;

    static constexpr int MAX_PASSWORD_LENGTH = static_cast<int>(MAX_PASSWORD_BYTES);

    // The programs use the engine's default durations; tests may shorten them.
    explicit CClientDlg(QWidget* pParent = nullptr, const TransferTimings& timings = TransferTimings{});
    ~CClientDlg() override;

    CClientDlg(const CClientDlg&) = delete;
    CClientDlg& operator=(const CClientDlg&) = delete;

    // The control with a template id (IDC_STATIC: the file-number label); nullptr for an unknown id.
    QWidget* Control(int nId) const;

    // Data exchange: controls to members, members to controls (writes never enter a change handler).
    void ReadControls();
    void WriteControls();

    // Display.
    void ShowStatus(int nIndex);
    void ShowPercent(int nValue);
    void EnableControls(bool bEnable);

    // Modes and input rules.
    void InitControls();
    void ApplyOperation();
    void FillFileNumbers(int nCount);
    void LoadAddressHistory();
    void AddAddressToHistory();
    bool ValidateRouterAddress();

    // Handlers.
    void OnControlChanged(int nId);
    void OnRouterSelChange();
    void OnSpecifyFile();
    void OnBrowse();
    void OnExecute();
    void OnTransferStep();
    void OnTftpNotify(int nKind, TftpResult nCode);
    void OnTimer(int nTimerId);
    void OnCancel();
    void OnSysCommand(unsigned nId);

    // The version box's menu (standing in for the title bar's menu), at a global position.
    void ShowSystemMenu(const QPoint& globalPos);
    QMenu* SystemMenu() const { return m_pSystemMenu; }

    // Test views of the loop: a step event waits in the queue; steps run since construction.
    bool IsStepQueued() const { return m_loop.IsQueued(); }
    std::uint64_t StepsRun() const { return m_nStepsRun; }
    bool IsTransferRunning() const;
    // The controls widened at creation to show their texts whole, and any that could not be.
    const std::vector<TextGrowth>& TextGrowths() const { return m_textGrowths; }
    // Observers of the display, called after each ShowStatus and ShowPercent with the value shown.
    std::function<void(int)> m_onStatusShown;
    std::function<void(int)> m_onPercentShown;

    // Members, in the template's declaration order.
    QComboBox* m_cboFileNumber = nullptr;
    QCheckBox* m_chkSpecifyFile = nullptr;
    QComboBox* m_cboRouter = nullptr;
    int m_nOperation = -1;         // 0 revision up, 1 get configuration, 2 put configuration
    std::string m_strFileName;
    std::string m_strPwd;
    std::string m_strStatus;
    std::string m_strPercent;
    QProgressBar* m_progress = nullptr;
    std::string m_strRouterAddr;
    std::string m_strHistory[ADDRESS_HISTORY_SIZE];  // oldest first; unused slots empty
    std::string m_strLastRouter;
    std::string m_strLastFolder;   // ends with the path separator
    QIcon m_hIcon;
    TransferRequest m_request;
    std::uint16_t m_nShownPhase = 0;
    std::int16_t m_nShownPercent = 0;
    bool m_bPlaceholderEntry = false;
    bool m_bResetOnEdit = false;

protected:
    void customEvent(QEvent* pEvent) override;
    void timerEvent(QTimerEvent* pEvent) override;
    void contextMenuEvent(QContextMenuEvent* pEvent) override;

public slots:
    void reject() override;

private:
    void CreateControls();
    void FitControlsToTexts();
    bool OnInitDialog();
    void SetDefaultButton(QPushButton* pButton);
    void UpdateExecuteForAddress();
    void ReportResult();
    void OnEngineWake();
    void StepAndShow();
    void TakeAnswerAlreadyThere();
    bool HandOverAndLookAgain();

    // CStepLoop::Owner
    void RunStep() override;
    bool MayStep() const override;
    void RunBegins() override;
    bool BetweenSteps(bool bAwaiting) override;

    QLabel* m_pLabelOperation = nullptr;
    QComboBox* m_cboOperation = nullptr;
    QLabel* m_pLabelFileName = nullptr;
    QLineEdit* m_editFileName = nullptr;
    QPushButton* m_btnBrowse = nullptr;
    QLabel* m_pLabelFileNumber = nullptr;
    QLabel* m_pLabelRouter = nullptr;
    QLabel* m_pLabelPassword = nullptr;
    QLineEdit* m_editPwd = nullptr;
    QGroupBox* m_pGroupProgress = nullptr;
    QLineEdit* m_editStatus = nullptr;
    QLineEdit* m_editPercent = nullptr;
    QLabel* m_pLabelPercent = nullptr;
    QPushButton* m_btnExecute = nullptr;
    QPushButton* m_btnExit = nullptr;
    QMenu* m_pSystemMenu = nullptr;
    std::vector<TextGrowth> m_textGrowths;

    // The step loop never spins: while the engine waits for the router no step runs and none is
    // queued; the engine's wake (a datagram, a time-out) runs the next one. At most one is ever queued.
    CStepLoop m_loop;
    QElapsedTimer m_sinceEvents;
    // Steps run one after another for at most this long before the window's events get a turn.
    static constexpr int kPumpAfterMs = 20;
    // Looks into the socket that found nothing, in a row, before blocks go without one; the most
    // blocks that then wait for the event loop's notice without a look.
    static constexpr int kMissesBeforeSkipping = 3;
    static constexpr int kMaxLooksSkipped = 15;
    // A hand-over of the processor that kept the window from it for longer than this (another
    // program ran, not the router's answer to one datagram) ends the hand-overs of the transfer.
    static constexpr qint64 kLongestHandOverNs = 250000;
    int m_nMissesInARow = 0;
    int m_nLooksToSkip = 0;
    int m_nLooksSkipped = 0;
    bool m_bHandOver = true;         // a look that finds nothing may hand the processor over first
    QElapsedTimer m_handOverClock;
    bool m_bFailureReported = false; // the running transfer's failure has had its box
    bool m_bClosing = false;         // the window has been told to end: no further step runs
    std::uint64_t m_nStepsRun = 0;
};
