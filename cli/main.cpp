// velnor-tftp: the console companion of the transfer window. The same engine, the same checks before
// anything goes out, the same status texts and result messages; no settings file.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>

#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BackupRun.h"
#include "StatusCommand.h"
#include "CliInput.h"
#include "CliJson.h"
#include "CliOptions.h"
#include "ConsoleOut.h"
#include "CliReport.h"
#include "CliTrace.h"
#include "LocalFile.h"
#include "RestoreRun.h"
#include "ResultMessages.h"
#include "SafeText.h"
#include "Texts.h"
#include "TransferDriver.h"
#include "UnifiedDiff.h"

namespace {

// The router's port: always 69. Only the build for the tests (velnor-tftp-test, never installed) takes
// another from VELNOR_TEST_ROUTER_PORT, so that its tests need no root.
std::uint16_t RouterPort()
{
#ifdef VELNOR_TFTP_TEST_BUILD
    if (const char* pPort = std::getenv("VELNOR_TEST_ROUTER_PORT"))
        return static_cast<std::uint16_t>(std::strtoul(pPort, nullptr, 10));
#endif
    return TFTP_PORT;
}

// The wait for each answer, as the options give it. The build for the tests takes a shorter one in
// milliseconds from VELNOR_TEST_REPLY_TIMEOUT_MS, so that a silent router costs its tests a moment.
int ReplyTimeoutMs(int nSeconds)
{
#ifdef VELNOR_TFTP_TEST_BUILD
    if (const char* pMs = std::getenv("VELNOR_TEST_REPLY_TIMEOUT_MS"))
        return static_cast<int>(std::strtoul(pMs, nullptr, 10));
#endif
    return nSeconds * 1000;
}

// Status texts and the progress line on standard error.
class CConsoleProgress {
public:
    CConsoleProgress(bool bQuiet, bool bTerminal, const CTftpTransfer& engine)
        : m_bQuiet(bQuiet), m_bTerminal(bTerminal), m_engine(engine)
    {
        m_sinceDraw.start();
    }

    void OnPhase(int nPhase)
    {
        // Only the phases of a running transfer: its end is reported once, with the outcome.
        if (m_bQuiet || nPhase < PHASE_PREPARE || nPhase > PHASE_WRITING_ROM)
            return;
        const std::string_view text = kStatusTexts[static_cast<std::size_t>(nPhase)];
        if (text.empty() || text == m_lastStatus)
            return;
        ClearLine();
        m_nPhase = nPhase;
        m_lastStatus = text;
        WriteErr(std::string(text) + "\n");
        Redraw();
    }

    void OnPercent(int nPercent, qint64 nBytesDone)
    {
        if (m_bQuiet || !m_bTerminal)
            return;
        m_nPercent = nPercent;
        m_nBytes = nBytesDone;
        // Redraw when the percentage moves, otherwise a few times a second: a bar per block would
        // cost more than the transfer.
        if (nPercent != m_nDrawnPercent || m_sinceDraw.elapsed() >= 100)
            Redraw();
    }

    // A line of its own (a datagram of -v) between the status texts, the bar redrawn after it.
    void Line(const std::string& text)
    {
        ClearLine();
        WriteErr(text + "\n");
        Redraw();
    }

    void ClearLine()
    {
        if (m_bLineShown) {
            WriteErr("\r\033[K");
            m_bLineShown = false;
        }
    }

    void Finish(TftpResult nResult, const std::string& strPeerText)
    {
        ClearLine();
        if (nResult == TFTP_OK) {
            if (!m_bQuiet)
                WriteErr(std::string(kStatusTexts[PHASE_FINISH]) + "\n");
            return;
        }
        if (!m_bQuiet)
            WriteErr(std::string(kStatusTexts[PHASE_FAILED]) + "\n");
        WriteErr(FormatFailure(nResult, strPeerText) + FormatRouterHint(nResult, strPeerText));
    }

private:
    void Redraw()
    {
        // The bar belongs to the exchange of blocks, as the window's percentage does.
        if (m_bQuiet || !m_bTerminal || m_nBytes < 0 || m_nPhase < PHASE_SENDING || m_nPhase > PHASE_WRITING_ROM)
            return;
        WriteErr("\r\033[K" + FormatProgressLine(m_nPercent, m_nBytes, m_engine.GetTotalBytes()));
        m_bLineShown = true;
        m_nDrawnPercent = m_nPercent;
        m_sinceDraw.restart();
    }

    bool m_bQuiet;
    bool m_bTerminal;
    const CTftpTransfer& m_engine;
    std::string_view m_lastStatus;
    int m_nPhase = PHASE_IDLE;
    bool m_bLineShown = false;
    int m_nPercent = 0;
    int m_nDrawnPercent = -1;
    qint64 m_nBytes = -1;
    QElapsedTimer m_sinceDraw;
};


// One run of the program after its command line was understood: the checks, the transfer (two for
// put --if-changed) and the outcome, which --json writes as one line at the end.
class CCliRun {
public:
    CCliRun(const CliOptions& options, const QElapsedTimer& clock, std::optional<CliOutcome>* pOutcome)
        : m_options(options), m_clock(clock), m_pOutcome(pOutcome)
    {
        m_outcome.router = options.strRouter;
        m_outcome.operation = options.operation;
        const std::string& number = options.fileNumber.value_or(std::string());
        // A number the input rules refuse is no file number of the router's.
        if (number.size() == 1 && number[0] >= '0' && number[0] - '0' <= HighestFileNumberOf(options.operation))
            m_outcome.fileNumber = number[0] - '0';
        m_bStdStream = IsStandardStream(options.strLocalPath);
        if (m_bStdStream) {
            m_strLocalPath = options.strLocalPath;
        } else {
            std::error_code ec;
            const std::filesystem::path localPath = std::filesystem::absolute(options.strLocalPath, ec);
            m_strLocalPath = ec ? options.strLocalPath : localPath.string();
        }
        m_outcome.localFile = m_strLocalPath;
        m_outcome.changed = false;
    }

    ~CCliRun()
    {
        if (m_nTraceFd >= 0)
            ::close(m_nTraceFd);
    }

    int Run();

private:
    int Refuse(const std::string& strShown, const std::string& strReason, std::optional<TftpResult> nCode);
    int FailLocal(TftpResult nCode, int nExit, const LocalFailure& why);
    void ReportLocalDetail(const LocalFailure& why);
    int Transfer(CTransferDriver& driver, CConsoleProgress& progress, const TransferRequest& request,
                 bool bFinalTransfer);
    int End(int nExit);
    void OnDatagram(bool bSent, std::span<const std::uint8_t> datagram, CConsoleProgress& progress);
    void ShowPutDiff(const std::string& routerBytes, const std::string& localBytes) const;

    const CliOptions& m_options;
    const QElapsedTimer& m_clock;
    std::optional<CliOutcome>* m_pOutcome;  // the caller's, or none
    CliOutcome m_outcome;
    bool m_bStdStream = false;
    std::string m_strLocalPath;  // absolute, or "-"
    std::string m_strPassword;
    int m_nTraceFd = -1;
    TftpResult m_nLastResult = TFTP_OK;
    std::string m_strLastPeerText;
};

int CCliRun::End(int nExit)
{
    m_outcome.dSeconds = static_cast<double>(m_clock.nsecsElapsed()) / 1e9;
    if (m_options.bJson)
        WriteOut(FormatJsonLine(m_outcome));
    if (m_pOutcome)
        *m_pOutcome = m_outcome;
    return nExit;
}

int CCliRun::Refuse(const std::string& strShown, const std::string& strReason, std::optional<TftpResult> nCode)
{
    WriteErr(strShown);
    m_outcome.bOk = false;
    m_outcome.code = nCode;
    m_outcome.failureClass = kClassInput;
    m_outcome.message = strReason;
    m_outcome.changed = false;
    return End(CLI_EXIT_USAGE);
}

// After the message and its code: which file failed, and the system's reason.
void CCliRun::ReportLocalDetail(const LocalFailure& why)
{
    const std::string detail = DescribeLocalFailure(why);
    if (detail.empty())
        return;
    WriteErr(FormatLocalDetail(detail));
    m_outcome.detail = detail;
}

// A local file that cannot serve, found before anything went out: reported as the engine would.
int CCliRun::FailLocal(TftpResult nCode, int nExit, const LocalFailure& why)
{
    if (!m_options.bQuiet && !m_options.bCheck)
        WriteErr(std::string(kStatusTexts[PHASE_FAILED]) + "\n");
    WriteErr(FormatFailure(nCode, {}));
    ReportLocalDetail(why);
    m_outcome.bOk = false;
    m_outcome.code = nCode;
    m_outcome.failureClass = kClassLocal;
    m_outcome.message = LookupResultMessage(nCode);
    m_outcome.changed = false;
    return End(nExit);
}

void CCliRun::OnDatagram(bool bSent, std::span<const std::uint8_t> datagram, CConsoleProgress& progress)
{
    const std::string line =
        DescribeDatagram(bSent, datagram, static_cast<double>(m_clock.nsecsElapsed()) / 1e9);
    if (m_options.bVerbose)
        progress.Line(line);
    if (m_nTraceFd >= 0)
        WriteAllTo(m_nTraceFd, line + "\n");
}

// put --diff: what the put changes, for a person. With --check it is the run's result, on standard
// output, unless that holds the JSON line.
void CCliRun::ShowPutDiff(const std::string& routerBytes, const std::string& localBytes) const
{
    const std::string diff = DiffForTerminal(routerBytes, localBytes, "router " + m_options.strRouter,
                                             m_options.strLocalPath);
    if (m_options.bCheck && !m_options.bJson)
        WriteOut(diff);
    else
        WriteErr(diff);
}

// One transfer to its end. 0 when it succeeded; otherwise the failure is reported (stderr, outcome)
// and the exit status is returned. The last transfer of a run also reports its success.
int CCliRun::Transfer(CTransferDriver& driver, CConsoleProgress& progress, const TransferRequest& request,
                      bool bFinalTransfer)
{
    TftpResult nResult = driver.Start(request);
    std::string peerText;
    if (nResult == TFTP_OK) {
        nResult = driver.RunToEnd();
        if (nResult == TFTP_ERR_PEER_ERROR)
            peerText = driver.Engine().PeerErrorText();
    }
    m_nLastResult = nResult;
    m_strLastPeerText = peerText;
    if (nResult == TFTP_OK) {
        if (bFinalTransfer)
            progress.Finish(nResult, peerText);
        return CLI_EXIT_OK;
    }
    progress.Finish(nResult, peerText);
    const TftpResult nShown =
        nResult == TFTP_ERR_PEER_ERROR ? ClassifyPeerError(nResult, peerText).nCode : nResult;
    if (ClassOfResult(nShown) == kClassLocal)
        ReportLocalDetail(driver.Engine().GetLocalFailure());
    m_outcome.bOk = false;
    m_outcome.code = nShown;
    m_outcome.failureClass = ClassOfResult(nShown);
    m_outcome.message = LookupResultMessage(nShown);
    if (nResult == TFTP_ERR_PEER_ERROR)
        m_outcome.routerText = peerText;
    m_outcome.changed = false;
    return CLI_EXIT_FAILED;
}

// SIGINT (Ctrl+C) or SIGTERM while a received file is being saved: its temporary file goes first, then
// the signal ends the program as it always did, so that the shell still sees 130 or 143.
void OnEndingSignal(int nSignal)
{
    RemovePendingTemporaryFile();
    ::raise(nSignal);  // the default action again (SA_RESETHAND), taken as the handler returns
}

void RemoveTemporaryFileOnEndingSignals()
{
    for (int nSignal : {SIGINT, SIGTERM}) {
        struct sigaction previous {};
        // A signal the caller chose to ignore (a background job of a script) stays ignored.
        if (::sigaction(nSignal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = OnEndingSignal;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        ::sigaction(nSignal, &action, nullptr);
    }
}

int CCliRun::Run()
{
    const CliOptions& options = m_options;

    m_strPassword = options.password.value_or(std::string());
    if (options.passwordFile) {
        PasswordFileResult fromFile = ReadPasswordFile(*options.passwordFile);
        if (!fromFile.password)
            return Refuse("velnor-tftp: " + fromFile.strError + "\n", fromFile.strError, fromFile.nCode);
        if (!fromFile.strWarning.empty())
            WriteErr("velnor-tftp: warning: " + fromFile.strWarning + "\n");
        m_strPassword = std::move(*fromFile.password);
    }

    if (std::optional<CliInputError> error = ValidateInput(options, m_strPassword)) {
        std::string text = error->strMessage + "\n";
        if (error->nCode)
            text += FormatCode(*error->nCode) + "\n";
        return Refuse(text, error->strMessage, error->nCode);
    }

    const bool bSend = options.operation != CliOperation::Get;
    // The bytes to send, when they must be known before the transfer: from standard input, or to be
    // compared with the router's file, or only checked.
    std::string localBytes;
    CMemoryFile stdinFile;
    std::string strSendPath = m_strLocalPath;
    if (bSend && m_bStdStream) {
        const BoundedRead read = ReadAllBounded(STDIN_FILENO, TFTP_MAX_SEND_BYTES, localBytes);
        if (read != BoundedRead::Ok)
            return FailLocal(TFTP_ERR_FILE_READ, options.bCheck ? CLI_EXIT_USAGE : CLI_EXIT_FAILED, {});
        if (!stdinFile.Create(localBytes))
            return FailLocal(TFTP_ERR_FILE_OPEN, options.bCheck ? CLI_EXIT_USAGE : CLI_EXIT_FAILED, {});
        strSendPath = stdinFile.Path();
    } else if (bSend && (options.bCheck || options.bIfChanged || options.bDiff)) {
        LocalFailure why;
        if (TftpResult nCode = ReadLocalFileBounded(m_strLocalPath, localBytes, &why))
            return FailLocal(nCode, options.bCheck ? CLI_EXIT_USAGE : CLI_EXIT_FAILED, why);
    } else if (!bSend && options.bCheck && !m_bStdStream) {
        LocalFailure why;
        if (TftpResult nCode = CheckReceiveTarget(m_strLocalPath, &why))
            return FailLocal(nCode, CLI_EXIT_USAGE, why);
    }

    if (options.tracePath) {
        std::string strError;
        m_nTraceFd = CreateTraceFile(*options.tracePath, strError);
        if (m_nTraceFd < 0)
            return Refuse("velnor-tftp: " + strError + "\n", strError, std::nullopt);
    }

    if (options.bCheck && !options.bIfChanged && !options.bDiff) {
        // Everything that can be known without the router is known.
        if (!options.bQuiet)
            WriteErr("velnor-tftp: check passed; nothing was sent\n");
        m_outcome.bOk = true;
        m_outcome.message = "check passed; nothing was sent";
        m_outcome.changed = bSend ? std::optional<bool>(true) : std::nullopt;
        return End(CLI_EXIT_OK);
    }

    RemoveTemporaryFileOnEndingSignals();
    const TransferTimings timings{ReplyTimeoutMs(options.nTimeoutSeconds), options.nRomTimeoutSeconds * 1000, RouterPort()};
    CTransferDriver driver(timings);
    // Nothing else runs here while the router answers: its datagrams are awaited in the read itself.
    driver.SetWaitInSocket(true);
    CConsoleProgress progress(options.bQuiet, ::isatty(STDERR_FILENO) == 1, driver.Engine());
    QObject::connect(&driver, &CTransferDriver::phaseChanged, [&](int nPhase) { progress.OnPhase(nPhase); });
    QObject::connect(&driver, &CTransferDriver::percentChanged,
                     [&](int nPercent, qint64 nBytes) { progress.OnPercent(nPercent, nBytes); });
    if (options.bVerbose || m_nTraceFd >= 0) {
        driver.Engine().SetDatagramObserver(
            [&](bool bSent, std::span<const std::uint8_t> datagram) { OnDatagram(bSent, datagram, progress); });
    }

    if (options.bIfChanged || options.bDiff) {
        // The router's file of that number, read with the same password and kept in memory only.
        CliOptions readOptions = options;
        readOptions.operation = CliOperation::Get;
        bool bEqual = false;
        std::optional<std::string> routerBytes;  // whole only to show the difference
        driver.Engine().SetReceivedHandler(
            [&](const CReceivedBytes& bytes) {
                std::size_t nOffset = 0;
                bEqual = bytes.Size() == static_cast<std::int64_t>(localBytes.size())
                         && bytes.ForEachPiece([&](std::string_view piece) {
                                const bool bSame = localBytes.compare(nOffset, piece.size(), piece) == 0;
                                nOffset += piece.size();
                                return bSame;
                            });
                if (options.bDiff) {
                    std::string whole;
                    whole.reserve(static_cast<std::size_t>(bytes.Size()));
                    bytes.ForEachPiece([&whole](std::string_view piece) {
                        whole.append(piece);
                        return true;
                    });
                    routerBytes = std::move(whole);
                }
                return TFTP_OK;
            },
            false);
        driver.Engine().SetLocalFile(true, m_strLocalPath);
        const int nExit = Transfer(driver, progress, MakeRequest(readOptions, m_strPassword), false);
        driver.Engine().SetReceivedHandler({}, true);
        // A router without that file yet gets it: only an answer that the file is missing goes on.
        const bool bMissing = nExit != CLI_EXIT_OK && m_nLastResult == TFTP_ERR_PEER_ERROR
                              && ClassifyPeerError(m_nLastResult, m_strLastPeerText).nCode == TFTP_ERR_NO_SUCH_FILE;
        if (nExit != CLI_EXIT_OK && !bMissing)
            return End(nExit);
        m_outcome.routerText.reset();
        if (options.bDiff)
            ShowPutDiff(routerBytes.value_or(std::string()), localBytes);
        if ((bEqual && options.bIfChanged) || options.bCheck) {
            const std::string text = bEqual ? "the router's file is the same; nothing was sent"
                                            : "check passed; a put would change the router's file";
            if (!options.bQuiet)
                WriteErr("velnor-tftp: " + text + "\n");
            m_outcome.bOk = true;
            m_outcome.code.reset();
            m_outcome.failureClass.reset();
            m_outcome.message = text;
            m_outcome.changed = !bEqual;
            return End(CLI_EXIT_OK);
        }
    }

    if (!bSend) {
        // Handed over once every block has arrived: to standard output instead of a file, or, before
        // the save, compared piece by piece with the local file to tell whether its bytes change.
        // Only the outcome tells that; without it the plain save does all.
        bool bChanged = true;
        if (m_bStdStream) {
            driver.Engine().SetReceivedHandler(
                [](const CReceivedBytes& bytes) {
                    std::fflush(stdout);
                    const bool bWritten =
                        bytes.ForEachPiece([](std::string_view piece) { return WriteAllTo(STDOUT_FILENO, piece); });
                    return bWritten ? TFTP_OK : TFTP_ERR_FILE_WRITE;
                },
                false);
        } else if (options.bJson || m_pOutcome) {
            driver.Engine().SetReceivedHandler(
                [&](const CReceivedBytes& bytes) {
                    CFileComparison comparison(m_strLocalPath, bytes.Size());
                    bytes.ForEachPiece([&](std::string_view piece) { return comparison.Next(piece); });
                    bChanged = !comparison.Same();
                    return TFTP_OK;
                },
                true);
        }
        driver.Engine().SetLocalFile(true, m_strLocalPath);
        const int nExit = Transfer(driver, progress, MakeRequest(options, m_strPassword), true);
        m_outcome.nBytes = driver.Engine().GetBytesDone();
        if (nExit != CLI_EXIT_OK)
            return End(nExit);
        m_outcome.changed = bChanged;
    } else {
        driver.Engine().SetLocalFile(true, strSendPath);
        const int nExit = Transfer(driver, progress, MakeRequest(options, m_strPassword), true);
        m_outcome.nBytes = driver.Engine().GetBytesDone();
        if (nExit != CLI_EXIT_OK)
            return End(nExit);
        m_outcome.changed = true;
    }
    m_outcome.bOk = true;
    m_outcome.code.reset();
    m_outcome.failureClass.reset();
    m_outcome.routerText.reset();
    m_outcome.message = std::string(kStatusTexts[PHASE_FINISH]);
    return End(CLI_EXIT_OK);
}

// One transfer: the whole program but for `backup`, whose workers run it again in themselves and
// take its outcome typed.
int RunOneTransfer(int argc, char** argv, std::optional<CliOutcome>* pOutcome)
{
    QElapsedTimer clock;
    clock.start();
    // The arguments as bytes, before Qt sees them: paths and passwords go on unchanged.
    std::vector<std::string> args(argv + 1, argv + argc);
    // A backup's worker makes one application for all its transfers.
    std::optional<QCoreApplication> app;
    if (!QCoreApplication::instance())
        app.emplace(argc, argv);

    const CliParseResult parsed = ParseCommandLine(args);
    switch (parsed.action) {
    case CliAction::Help:
        WriteOut(UsageText());
        return CLI_EXIT_OK;
    case CliAction::Version:
        WriteOut(VersionText());
        return CLI_EXIT_OK;
    case CliAction::UsageError:
        WriteErr("velnor-tftp: " + parsed.strError + "\n");
        WriteErr("Try 'velnor-tftp --help' for more information.\n");
        if (WantsJson(args) || pOutcome) {
            // Refused before it was understood: what the command line told, and why.
            CliOutcome outcome;
            if (parsed.bCommandKnown)
                outcome.operation = parsed.options.operation;
            if (!parsed.options.strRouter.empty())
                outcome.router = parsed.options.strRouter;
            if (!parsed.options.strLocalPath.empty())
                outcome.localFile = parsed.options.strLocalPath;
            outcome.failureClass = kClassInput;
            outcome.message = parsed.strError;
            outcome.changed = false;
            outcome.dSeconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
            if (WantsJson(args))
                WriteOut(FormatJsonLine(outcome));
            if (pOutcome)
                *pOutcome = outcome;
        }
        return CLI_EXIT_USAGE;
    case CliAction::Run:
        break;
    }
    // A reader of the received file that goes away must not end the program before it reports.
    if (IsStandardStream(parsed.options.strLocalPath))
        ::signal(SIGPIPE, SIG_IGN);
    CCliRun run(parsed.options, clock, pOutcome);
    return run.Run();
}

}  // namespace

int main(int argc, char** argv)
{
    // Before any Qt application exists: the backup and the restore fork their transfers from this process.
    if (argc > 1 && std::string_view(argv[1]) == "backup")
        return RunBackupCommand(std::vector<std::string>(argv + 2, argv + argc), &RunOneTransfer);
    if (argc > 1 && std::string_view(argv[1]) == "restore")
        return RunRestoreCommand(std::vector<std::string>(argv + 2, argv + argc), &RunOneTransfer);
    if (argc > 1 && std::string_view(argv[1]) == "status")
        return RunStatusCommand(std::vector<std::string>(argv + 2, argv + argc));
    return RunOneTransfer(argc, argv, nullptr);
}
