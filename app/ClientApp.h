#pragma once
// The application object: start-up (the network stack, the font and Qt's Japanese texts), the modal run
// of the transfer window, and shut-down. Everything happens inside InitInstance, which always returns
// false: the process ends when it returns.

#include <functional>
#include <memory>

class QTranslator;
class QWidget;

class CClientApp {
public:
    CClientApp();
    ~CClientApp();

    CClientApp(const CClientApp&) = delete;
    CClientApp& operator=(const CClientApp&) = delete;

    bool InitInstance();

    // The transfer window while it runs (the owner of message boxes that ask for the main window).
    QWidget* m_pMainWnd = nullptr;

    // Whether the network stack works: one UDP/IPv4 socket can be created and closed.
    static bool CheckNetworkStack();
    // Tests replace the check to see the start-up failure; an empty function restores the real one.
    static void SetNetworkCheckForTest(std::function<bool()> check);

    // The application font (the dialog font, so that message boxes and the file dialog match the
    // windows) and Qt's own Japanese texts for the buttons of those boxes. Idempotent.
    void InitApplication();

private:
    std::unique_ptr<QTranslator> m_pTranslator;
};
