#pragma once
// The wait cursor shown while the settings file is read or written. The settings room has no user
// interface of its own, so the program that shows windows installs the two hooks (for instance an
// application-wide override cursor); until then showing and restoring do nothing.

#include <functional>

// Installs the hooks; an empty function stands for "do nothing".
void SetWaitCursorHooks(std::function<void()> show, std::function<void()> restore);

// Shows the wait cursor for its own lifetime, so that every way out of a scope restores it.
class CWaitCursor {
public:
    CWaitCursor();
    ~CWaitCursor();

    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;

private:
    // The restore hook that belongs to the show hook called at construction, so that hooks
    // exchanged in between cannot unbalance the pair.
    std::function<void()> m_restore;
};
