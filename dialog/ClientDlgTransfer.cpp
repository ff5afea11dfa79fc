// The transfer window from Execute to the end of a transfer: the checks, the step loop that drives the
// engine and shows its progress, socket faults, time-outs, and the state of the controls.

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimerEvent>

#include <algorithm>

#include <sched.h>

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
    m_bHandOver = true;
    m_loop.Post();
}

void CClientDlg::OnTransferStep()
{
    // Once the window has been told to end no step runs. A step dispatched by a turn of the event
    // loop inside a run of steps (a message box, the window's own events) is taken by that run.
    m_loop.OnPostedStep();
}

bool CClientDlg::MayStep() const
{
    return !m_bClosing && g_pTransfer->GetPhase() != PHASE_IDLE;
}

void CClientDlg::RunBegins()
{
    // The turn of the event loop that ran us has just handled what waited.
    m_sinceEvents.start();
}

void CClientDlg::RunStep()
{
    ++m_nStepsRun;
    StepAndShow();
    if (m_bResetOnEdit && !m_bClosing)
        m_cboOperation->setFocus();
}

bool CClientDlg::BetweenSteps(bool bAwaiting)
{
    // The router's answer is often queued already when a block's last step is done (on a busy
    // processor the send itself hands over to the router): it is taken at once, never waiting,
    // rather than after a turn of the event loop that would only report it; where it is not there
    // yet, the window may hand the processor over once and look again. Without it the run
    // returns to the event loop, and the engine's wake runs the next step.
    if (bAwaiting) {
        TakeAnswerAlreadyThere();
        if (!m_loop.IsStepRequested() && g_pTransfer->IsAwaitingEvent())
            return false;
    }
    // The steps of a block take microseconds: a pump of their own between them would cost more than
    // the block. Everything that waits (the router's datagrams, time-outs, faults, painting and the
    // user's input to the controls still enabled) is handled between two steps once steps have held
    // it for a while, as after reading a large image, and in any case when a run returns.
    if (m_sinceEvents.elapsed() >= kPumpAfterMs) {
        QCoreApplication::processEvents();
        m_sinceEvents.restart();
    }
    return !m_bClosing;
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
    // A datagram taken wakes the engine, which asks for the next step (the loop's step request).
    bool bTaken = g_pTransfer->TakeQueuedAnswer();
    if (!bTaken && m_bHandOver)
        bTaken = HandOverAndLookAgain();
    m_nMissesInARow = bTaken ? 0 : m_nMissesInARow + 1;
    const int nOver = m_nMissesInARow - kMissesBeforeSkipping;
    m_nLooksToSkip = nOver < 0 ? 0 : std::min((2 << std::min(nOver, 4)) - 1, kMaxLooksSkipped);
}

bool CClientDlg::HandOverAndLookAgain()
{
    // A router on this machine that our datagram has just woken is most often queued on this very
    // processor, behind the window: it answers as soon as the window lets go of the processor, and
    // without a hand-over only once the event loop has gone to sleep in its wait, to wake again for
    // the answer at once. Handing over never waits for the router; with nothing else to run it
    // returns at once. When another program had the processor meanwhile (a busy machine), the window
    // would lose a whole share of it on every block: the transfer's hand-overs end there.
    m_handOverClock.start();
    sched_yield();
    if (m_handOverClock.nsecsElapsed() > kLongestHandOverNs)
        m_bHandOver = false;
    return g_pTransfer->TakeQueuedAnswer();
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
    if (!m_loop.InSteps() && g_pTransfer->GetPhase() != PHASE_IDLE)
        m_loop.Post();
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

void CClientDlg::OnEngineWake()
{
    if (m_bClosing)
        return;
    // The work is done at once, in the notification that brought it.
    m_loop.OnWake();
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
    // A timer kept from one block to the next may fire before the wait it now stands for is over.
    if (g_pTransfer->TimerFired(pEvent->timerId()))
        OnTimer(pEvent->timerId());
}
