// The transfer window from Execute to the end of a transfer: the checks, the step loop that drives the
// engine and shows its progress, socket faults, time-outs, and the state of the controls.

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimerEvent>

#include <algorithm>

#include "ClientDlg.h"
#include "ErrorReport.h"
#include "MessageBox.h"
#include "TftpEvents.h"
#include "Texts.h"

void CClientDlg::OnExecute()
{
    if (!ValidateRouterAddress()) {
        CMessageBox::ShowWarning(this, std::string(kInvalidRouterAddress));
        return;
    }
    // The limit is the router's, in bytes of the name on the wire.
    if (m_strPwd.size() > static_cast<std::size_t>(MAX_PASSWORD_LENGTH)) {
        CErrorReport(this).Report(TFTP_ERR_BAD_PASSWORD);
        return;
    }

    m_request.strRouter = m_strRouterAddr;
    m_request.strPassword = m_strPwd;
    m_request.strFileNumber =
        m_chkSpecifyFile->isChecked() ? std::to_string(m_cboFileNumber->currentIndex()) : std::string();

    const TftpResult nCode = g_pTransfer->Start(m_request, this);
    if (nCode != TFTP_OK) {
        // The previous transfer still holds the socket; it goes on untouched.
        CErrorReport(this).Report(nCode);
        return;
    }
    // Each transfer reports its own failure, even when the last one failed and its status text is
    // still shown (a new transfer that fails at once would otherwise find "failed" already shown).
    m_bFailureReported = false;
    PostStep();
}

void CClientDlg::OnTransferStep()
{
    m_bStepQueued = false;
    if (m_bClosing)
        return;
    if (m_bInStep) {
        // Dispatched by the pump of the step below us: that step runs the next one when it is done.
        m_bStepRequested = true;
        return;
    }
    RunSteps();
}

void CClientDlg::RunSteps()
{
    // Steps follow one another here for as long as the engine has work that waits for nothing; a step
    // that leaves the engine waiting for the router (or at its end) returns to the event loop, and the
    // engine's wake runs the next step. Running the following step here rather than queueing it saves
    // a wake-up of the event loop, a turn through it and the read of the wake-up for every step: three
    // system calls, more than the block exchange itself.
    // The turn of the event loop that ran us has just handled what waited, and the steps of a block
    // take microseconds: a pump of their own between them would cost more than the block. Everything
    // that waits (the router's datagrams, time-outs, faults, painting and the user's input to the
    // controls still enabled) is handled between two steps only once steps have held it for a while,
    // as after reading a large image, and in any case when a run of steps returns to the event loop.
    QElapsedTimer sinceEvents;
    sinceEvents.start();
    for (int nRun = 1;; ++nRun) {
        m_bInStep = true;
        m_bStepRequested = false;
        ++m_nStepsRun;
        StepAndShow();

        // The router's answer is often queued already when a block's last step is done (on a busy
        // processor the send itself hands over to the router): it is taken at once, never waiting,
        // rather than after a turn of the event loop that would only report it. The run still ends
        // within kMaxStepsInARow steps, and the event loop's turn then needs no queued step.
        if (nRun < kMaxStepsInARow && !WantsNextStep())
            TakeAnswerAlreadyThere();

        if (WantsNextStep() && sinceEvents.elapsed() >= kPumpAfterMs) {
            QCoreApplication::processEvents();
            sinceEvents.restart();
        }
        m_bInStep = false;
        if (m_bClosing)
            return;
        if (m_bResetOnEdit)
            m_cboOperation->setFocus();
        if (!WantsNextStep())
            return;
        // The engine comes to a wait or to its end within a few steps; should it ever not, the next
        // step goes through the queue and the event loop gets a turn of its own.
        if (nRun == kMaxStepsInARow) {
            PostStep();
            return;
        }
    }
}

void CClientDlg::TakeAnswerAlreadyThere()
{
    // A look that finds nothing costs a system call. Where the answer keeps not being there (the
    // router has a processor of its own and answers later), the looks thin out: after a few misses in
    // a row the next block goes without one, after one more the next three, up to kMaxLooksSkipped.
    if (m_nLooksSkipped < m_nLooksToSkip) {
        ++m_nLooksSkipped;
        return;
    }
    m_nLooksSkipped = 0;
    // A datagram taken wakes the engine, which asks for the next step (m_bStepRequested).
    m_nMissesInARow = g_pTransfer->TakeQueuedAnswer() ? 0 : m_nMissesInARow + 1;
    const int nOver = m_nMissesInARow - kMissesBeforeSkipping;
    m_nLooksToSkip = nOver < 0 ? 0 : std::min((2 << std::min(nOver, 4)) - 1, kMaxLooksSkipped);
}

bool CClientDlg::WantsNextStep() const
{
    // While the engine waits for the router nothing is run: its wake runs the next step.
    return g_pTransfer->GetPhase() != PHASE_IDLE && (m_bStepRequested || !g_pTransfer->IsAwaitingEvent());
}

void CClientDlg::StepAndShow()
{
    g_pTransfer->Step();
    const TransferPhase nPhase = g_pTransfer->GetPhase();
    switch (nPhase) {
    case PHASE_IDLE:
    case PHASE_OPEN:
        break;
    case PHASE_PREPARE:
        if (m_nShownPhase != PHASE_PREPARE) {
            EnableControls(false);
            ShowStatus(PHASE_PREPARE);
            ShowPercent(0);
        }
        break;
    case PHASE_WAIT_REPLY:
    case PHASE_WRITING_ROM:
        if (nPhase != m_nShownPhase)
            ShowStatus(nPhase);
        break;
    case PHASE_SENDING:
    case PHASE_RECEIVING: {
        if (nPhase != m_nShownPhase)
            ShowStatus(nPhase);
        const int nPercent = g_pTransfer->GetPercent();
        if (nPercent != m_nShownPercent)
            ShowPercent(nPercent);
        break;
    }
    case PHASE_FAILED:
        if (nPhase != m_nShownPhase || !m_bFailureReported) {
            ShowStatus(PHASE_FAILED);
            if (!m_bFailureReported)
                ReportResult();
        }
        break;
    case PHASE_FINISH:
        if (nPhase != m_nShownPhase) {
            if (g_pTransfer->GetResult() != TFTP_OK) {
                ShowStatus(PHASE_FAILED);
                SetDefaultButton(m_btnExecute);
            } else {
                ShowStatus(PHASE_FINISH);
                ShowPercent(100);
                AddAddressToHistory();
                g_pSetData->m_strFolder = m_strLastFolder;
                SetDefaultButton(m_btnExit);
            }
            EnableControls(true);
        }
        break;
    case PHASE_CLOSE:
        m_bResetOnEdit = true;
        break;
    }
}

void CClientDlg::OnTftpNotify(int nKind, TftpResult nCode)
{
    if (nKind != NOTIFY_FAULT)
        return;
    g_pTransfer->Fail(nCode);
    if (m_bClosing)
        return;
    if (!m_bFailureReported)
        ReportResult();
    // The fault may come while the engine waits with no step queued; the next step ends the
    // transfer, and only after the box has been closed.
    if (!m_bInStep && g_pTransfer->GetPhase() != PHASE_IDLE)
        PostStep();
}

void CClientDlg::OnTimer(int /*nTimerId*/)
{
    // Every timer of this window is the engine's.
    g_pTransfer->OnTimeout();
}

void CClientDlg::OnCancel()
{
    // While a transfer runs, the close box and Escape are refused as the disabled Exit button is:
    // ending the window would abandon the transfer without a word.
    if (!m_btnExit->isEnabled())
        return;
    m_bClosing = true;
    QDialog::reject();
}

void CClientDlg::reject()
{
    OnCancel();
}

bool CClientDlg::IsTransferRunning() const
{
    return g_pTransfer && g_pTransfer->GetPhase() != PHASE_IDLE;
}

void CClientDlg::ReportResult()
{
    // Marked before the box opens: the box's own loop may dispatch a fault notification.
    m_bFailureReported = true;
    const TftpResult nResult = g_pTransfer->GetResult();
    CErrorReport report(this);
    if (nResult == TFTP_ERR_PEER_ERROR)
        report.ReportPeerError(nResult, g_pTransfer->PeerErrorText());
    else
        report.Report(nResult);
}

void CClientDlg::PostStep()
{
    if (m_bStepQueued)
        return;
    m_bStepQueued = true;
    QCoreApplication::postEvent(this, new QEvent(WM_TRANSFER_STEP));
}

void CClientDlg::OnEngineWake()
{
    if (m_bClosing)
        return;
    if (m_bInStep) {
        m_bStepRequested = true;
        return;
    }
    // A step still queued (the first of a transfer, or one queued after a long run) takes the work.
    if (m_bStepQueued || g_pTransfer->GetPhase() == PHASE_IDLE)
        return;
    // The work is done at once, in the notification that brought it.
    RunSteps();
}

void CClientDlg::customEvent(QEvent* pEvent)
{
    if (pEvent->type() == WM_TRANSFER_STEP) {
        OnTransferStep();
        return;
    }
    if (pEvent->type() == WM_TFTP_NOTIFY) {
        const auto* pNotify = static_cast<const CTftpNotifyEvent*>(pEvent);
        OnTftpNotify(pNotify->m_nKind, pNotify->m_nCode);
        return;
    }
    QDialog::customEvent(pEvent);
}

void CClientDlg::timerEvent(QTimerEvent* pEvent)
{
    QDialog::timerEvent(pEvent);
    OnTimer(pEvent->timerId());
}
