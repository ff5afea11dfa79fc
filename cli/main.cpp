// velnor-tftp: the console companion of the transfer window. The same engine, the same checks before
// anything goes out, the same status texts and result messages; no settings file.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BackupRun.h"
#include "CliOptions.h"
#include "CliReport.h"
#include "StringTable.h"
#include "Texts.h"
#include "TransferDriver.h"

namespace {

void WriteErr(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void WriteOut(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::optional<std::string> ReadPasswordFile(const std::string& path)
{
    std::string text;
    if (path == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        if (std::cin.bad())
            return std::nullopt;
    } else {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            return std::nullopt;
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad())
            return std::nullopt;
    }
    return StripOneNewline(std::move(text));
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
        WriteErr(FormatFailure(nResult, strPeerText));
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

}  // namespace

int main(int argc, char** argv)
{
    // The arguments as bytes, before Qt sees them: paths and passwords go on unchanged.
    std::vector<std::string> args(argv + 1, argv + argc);
    QCoreApplication app(argc, argv);
    if (!args.empty() && args[0] == "backup") {
        return RunBackupCommand(std::vector<std::string>(args.begin() + 1, args.end()),
                                QCoreApplication::applicationFilePath().toStdString());
    }

    const CliParseResult parsed = ParseCommandLine(args);
    switch (parsed.action) {
    case CliAction::Help:
        WriteOut(UsageText());
        return CLI_EXIT_OK;
    case CliAction::Version:
        WriteOut(LoadString(IDS_VERSION) + "\n");
        return CLI_EXIT_OK;
    case CliAction::UsageError:
        WriteErr("velnor-tftp: " + parsed.strError + "\n");
        WriteErr("Try 'velnor-tftp --help' for more information.\n");
        return CLI_EXIT_USAGE;
    case CliAction::Run:
        break;
    }
    const CliOptions& options = parsed.options;

    std::string password = options.password.value_or(std::string());
    if (options.passwordFile) {
        std::optional<std::string> fromFile = ReadPasswordFile(*options.passwordFile);
        if (!fromFile) {
            WriteErr("velnor-tftp: cannot read the password file " + *options.passwordFile + "\n");
            return CLI_EXIT_USAGE;
        }
        password = std::move(*fromFile);
    }

    if (std::optional<CliInputError> error = ValidateInput(options, password)) {
        std::string text = error->strMessage + "\n";
        if (error->nCode)
            text += FormatCode(*error->nCode) + "\n";
        WriteErr(text);
        return CLI_EXIT_USAGE;
    }

    CTransferDriver driver;
    // Nothing else runs here while the router answers: its datagrams are awaited in the read itself.
    driver.SetWaitInSocket(true);
    std::error_code ec;
    std::filesystem::path localPath = std::filesystem::absolute(options.strLocalPath, ec);
    if (ec)
        localPath = options.strLocalPath;
    driver.Engine().SetLocalFile(true, localPath.string());

    CConsoleProgress progress(options.bQuiet, ::isatty(STDERR_FILENO) == 1, driver.Engine());
    QObject::connect(&driver, &CTransferDriver::phaseChanged, [&](int nPhase) { progress.OnPhase(nPhase); });
    QObject::connect(&driver, &CTransferDriver::percentChanged,
                     [&](int nPercent, qint64 nBytes) { progress.OnPercent(nPercent, nBytes); });

    const TftpResult nStart = driver.Start(MakeRequest(options, password));
    if (nStart != TFTP_OK) {
        progress.Finish(nStart, {});
        return CLI_EXIT_FAILED;
    }
    const TftpResult nResult = driver.RunToEnd();
    progress.Finish(nResult, driver.Engine().PeerErrorText());
    return nResult == TFTP_OK ? CLI_EXIT_OK : CLI_EXIT_FAILED;
}
