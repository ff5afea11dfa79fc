#include "ClientApp.h"

#include <QApplication>
#include <QCursor>
#include <QLibraryInfo>
#include <QTranslator>

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include "ClientDlg.h"
#include "DialogUnits.h"
#include "MessageBox.h"
#include "StringTable.h"
#include "WaitCursor.h"

namespace {

std::function<bool()>& NetworkCheckOverride()
{
    static std::function<bool()> check;
    return check;
}

}  // namespace

CClientApp::CClientApp() = default;

// The object outlives the Qt application object (it is a global): nothing Qt is left for it to free.
CClientApp::~CClientApp() = default;

bool CClientApp::CheckNetworkStack()
{
    if (NetworkCheckOverride())
        return NetworkCheckOverride()();
    const int nSocket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (nSocket < 0)
        return false;
    ::close(nSocket);
    return true;
}

void CClientApp::SetNetworkCheckForTest(std::function<bool()> check)
{
    NetworkCheckOverride() = std::move(check);
}

void CClientApp::InitApplication()
{
    QApplication::setFont(DialogFont());

    if (!m_pTranslator) {
        // The buttons of message boxes and of the file dialog speak the program's language.
        m_pTranslator = std::make_unique<QTranslator>();
        if (m_pTranslator->load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
            QCoreApplication::installTranslator(m_pTranslator.get());
    }

    // The settings file is read and written under the wait cursor; the settings room has no Qt of
    // its own to show it.
    SetWaitCursorHooks([] { QApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); },
                       [] { QApplication::restoreOverrideCursor(); });
}

bool CClientApp::InitInstance()
{
    InitApplication();

    if (!CheckNetworkStack()) {
        // No window and no settings file: the program ends after this one message.
        CMessageBox::ShowWarning(nullptr, LoadString(IDS_SOCKETS_INIT_FAILED));
        return false;
    }

    {
        CClientDlg dlg;
        m_pMainWnd = &dlg;
        dlg.exec();
        m_pMainWnd = nullptr;
        // The window's destruction deletes the engine, then the settings object, which writes the
        // file when a successful transfer changed it.
    }
    SetWaitCursorHooks({}, {});
    // A translator removes itself from the application when deleted.
    m_pTranslator.reset();
    return false;
}
