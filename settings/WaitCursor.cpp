#include "WaitCursor.h"

#include <utility>

namespace {

std::function<void()> g_showWaitCursor;
std::function<void()> g_restoreWaitCursor;

}  // namespace

void SetWaitCursorHooks(std::function<void()> show, std::function<void()> restore)
{
    g_showWaitCursor = std::move(show);
    g_restoreWaitCursor = std::move(restore);
}

CWaitCursor::CWaitCursor()
{
    // A restore without a show would pop a cursor that someone else pushed.
    if (g_showWaitCursor) {
        m_restore = g_restoreWaitCursor;
        g_showWaitCursor();
    }
}

CWaitCursor::~CWaitCursor()
{
    if (m_restore)
        m_restore();
}
