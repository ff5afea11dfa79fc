#include <gtest/gtest.h>

#include <string>

#include "WaitCursor.h"

namespace {

struct HookRemover {
    ~HookRemover() { SetWaitCursorHooks({}, {}); }
};

TEST(WaitCursor, WithoutHooksShowingAndRestoringDoNothing)
{
    HookRemover remover;
    SetWaitCursorHooks({}, {});
    CWaitCursor outer;
    CWaitCursor inner;
    SUCCEED();
}

TEST(WaitCursor, NestedCursorsRestoreInReverseOrder)
{
    HookRemover remover;
    std::string strLog;
    SetWaitCursorHooks([&] { strLog += '+'; }, [&] { strLog += '-'; });
    {
        CWaitCursor outer;
        {
            CWaitCursor inner;
            EXPECT_EQ(strLog, "++");
        }
        EXPECT_EQ(strLog, "++-");
    }
    EXPECT_EQ(strLog, "++--");
}

TEST(WaitCursor, HooksExchangedWhileShownRestoreThroughTheHookThatShowed)
{
    HookRemover remover;
    std::string strLog;
    SetWaitCursorHooks([&] { strLog += "A+"; }, [&] { strLog += "A-"; });
    {
        CWaitCursor cursor;
        SetWaitCursorHooks([&] { strLog += "B+"; }, [&] { strLog += "B-"; });
    }
    {
        CWaitCursor cursor;
        SetWaitCursorHooks({}, {});
    }
    EXPECT_EQ(strLog, "A+A-B+B-");
}

TEST(WaitCursor, RestoreHookAloneIsNeverCalled)
{
    HookRemover remover;
    int nRestored = 0;
    SetWaitCursorHooks({}, [&] { ++nRestored; });
    {
        CWaitCursor cursor;
    }
    EXPECT_EQ(nRestored, 0);
}

}  // namespace
