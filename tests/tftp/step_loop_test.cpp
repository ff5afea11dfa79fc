// The step loop shared by the transfer window and the transfer driver, driven by an owner whose
// steps and between-steps hook are scripted, over an engine held in a wait or out of one by hand.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <algorithm>
#include <functional>
#include <vector>

#include "TftpEvents.h"
#include "TftpTransfer.h"
#include "TransferDriver.h"

namespace {

// The engine with its state in reach: a wait for the router is set, or left, by the test.
class CHeldEngine : public CTftpTransfer {
public:
    CHeldEngine() : CTftpTransfer(TransferTimings{}) {}
    void SetWaiting(bool bWaiting)
    {
        m_nPhase = PHASE_RECEIVING;
        m_nStep = STEP_WAIT_DATA;
        m_bTimedOut = !bWaiting;
    }
    void SetIdle() { m_nPhase = PHASE_IDLE; }
};

class CScriptedOwner : public QObject, public CStepLoop::Owner {
public:
    explicit CScriptedOwner(CTftpTransfer*& pEngine) : m_loop(this, pEngine, *this), m_pEngine(pEngine) {}

    CStepLoop m_loop;
    int m_nSteps = 0;
    int m_nSent = 0;
    int m_nRuns = 0;
    int m_nDepth = 0;
    int m_nDeepest = 0;
    int m_nPostedDelivered = 0;
    std::vector<bool> m_hookCalls;   // bAwaiting of each call
    std::function<void(int)> m_onStep;           // after step n
    std::function<bool(bool)> m_betweenSteps = [](bool bAwaiting) { return !bAwaiting; };
    bool m_bMayStep = true;

    void RunStep() override
    {
        ++m_nDepth;
        m_nDeepest = std::max(m_nDeepest, m_nDepth);
        ++m_nSteps;
        if (m_onStep)
            m_onStep(m_nSteps);
        --m_nDepth;
    }
    void SendStep() override
    {
        ++m_nSent;
        RunStep();
    }
    bool MayStep() const override { return m_bMayStep && m_pEngine->GetPhase() != PHASE_IDLE; }
    void RunBegins() override { ++m_nRuns; }
    bool BetweenSteps(bool bAwaiting) override
    {
        m_hookCalls.push_back(bAwaiting);
        return m_betweenSteps(bAwaiting);
    }

    CTftpTransfer*& m_pEngine;

protected:
    void customEvent(QEvent* pEvent) override
    {
        if (pEvent->type() == WM_TRANSFER_STEP) {
            ++m_nPostedDelivered;
            m_loop.OnPostedStep();
        }
    }
};

class StepLoopTest : public ::testing::Test {
protected:
    CHeldEngine m_engine;
    CTftpTransfer* m_pEngine = &m_engine;
    CScriptedOwner m_owner {m_pEngine};
};

// The first step comes through the queue and runs there; the ones that follow are sent, until the
// engine waits and the hook, told so, ends the run with nothing queued.
TEST_F(StepLoopTest, StepsFollowOneAnotherUntilTheEngineWaitsThenNothingIsQueued)
{
    m_engine.SetWaiting(false);
    m_owner.m_onStep = [&](int n) {
        if (n == 3)
            m_engine.SetWaiting(true);
    };
    m_owner.m_loop.Post();
    m_owner.m_loop.Post();
    EXPECT_TRUE(m_owner.m_loop.IsQueued());
    QCoreApplication::sendPostedEvents(&m_owner, WM_TRANSFER_STEP);
    EXPECT_EQ(m_owner.m_nPostedDelivered, 1) << "two step events were queued";
    EXPECT_EQ(m_owner.m_nSteps, 3);
    EXPECT_EQ(m_owner.m_nSent, 2) << "the posted step is run where it arrives, the others sent";
    EXPECT_EQ(m_owner.m_hookCalls, (std::vector<bool>{false, false, true}));
    EXPECT_FALSE(m_owner.m_loop.IsQueued());
    EXPECT_FALSE(m_owner.m_loop.InSteps());

    // The engine's wake (its answer arrived) runs the next steps at once.
    m_owner.m_onStep = [&](int n) {
        if (n == 5)
            m_engine.SetWaiting(true);
    };
    m_engine.SetWaiting(false);
    m_owner.m_loop.OnWake();
    EXPECT_EQ(m_owner.m_nSteps, 5);
    EXPECT_EQ(m_owner.m_nRuns, 2);
    EXPECT_FALSE(m_owner.m_loop.IsQueued());
}

// An engine that never comes to a wait still lets the event loop turn: after the cap the next step
// is queued, and only one.
TEST_F(StepLoopTest, AtTheCapOfStepsInARowTheNextGoesThroughTheQueue)
{
    m_engine.SetWaiting(false);
    m_owner.m_onStep = [&](int n) {
        if (n == 2 * CStepLoop::kMaxStepsInARow)
            m_engine.SetIdle();
    };
    m_owner.m_loop.Run();
    EXPECT_EQ(m_owner.m_nSteps, CStepLoop::kMaxStepsInARow);
    EXPECT_TRUE(m_owner.m_loop.IsQueued());
    m_owner.m_loop.OnWake();
    EXPECT_EQ(m_owner.m_nSteps, CStepLoop::kMaxStepsInARow) << "a queued step carries the work, not a wake";
    QCoreApplication::sendPostedEvents(&m_owner, WM_TRANSFER_STEP);
    EXPECT_EQ(m_owner.m_nPostedDelivered, 1);
    EXPECT_EQ(m_owner.m_nSteps, 2 * CStepLoop::kMaxStepsInARow);
    EXPECT_FALSE(m_owner.m_loop.IsQueued()) << "a step was queued past the end";
}

// A hook that brings the router's answer (the console's wait, the window's look) carries the run on,
// up to the cap: then the answer is left to the event loop's notification, and the wake that brings
// it starts the next run.
TEST_F(StepLoopTest, AHookThatBringsTheAnswerCarriesTheRunOnUpToTheCap)
{
    m_engine.SetWaiting(false);
    m_owner.m_onStep = [&](int n) { m_engine.SetWaiting(n % 2 == 0); };
    m_owner.m_betweenSteps = [&](bool bAwaiting) {
        if (bAwaiting)
            m_engine.SetWaiting(false);
        return true;
    };
    m_owner.m_loop.Run();
    EXPECT_EQ(m_owner.m_nSteps, CStepLoop::kMaxStepsInARow);
    EXPECT_FALSE(m_owner.m_loop.IsQueued()) << "a waiting engine needs no queued step";
    EXPECT_TRUE(m_engine.IsAwaitingEvent()) << "the hook was asked for the answer past the cap";
    m_engine.SetWaiting(false);
    m_owner.m_loop.OnWake();
    EXPECT_EQ(m_owner.m_nSteps, 2 * CStepLoop::kMaxStepsInARow);
    EXPECT_EQ(m_owner.m_nRuns, 2);
}

// A wake or a posted step that comes while a step or the hook runs (a message box's loop, the window's
// events) never starts a step inside the step: the run takes one more step itself, even where the
// engine seems to wait. An owner that may not step (the window told to end) runs none.
TEST_F(StepLoopTest, WorkArrivingInsideARunIsTakenByTheRunNeverNested)
{
    m_engine.SetWaiting(false);
    m_owner.m_onStep = [&](int n) {
        m_engine.SetWaiting(true);
        if (n == 1) {
            m_owner.m_loop.OnWake();
        } else if (n == 2) {
            m_owner.m_loop.Post();
            EXPECT_TRUE(m_owner.m_loop.IsQueued());
            QCoreApplication::sendPostedEvents(&m_owner, WM_TRANSFER_STEP);
            EXPECT_FALSE(m_owner.m_loop.IsQueued());
        }
    };
    m_owner.m_loop.Run();
    EXPECT_EQ(m_owner.m_nSteps, 3);
    EXPECT_EQ(m_owner.m_nDeepest, 1);
    EXPECT_EQ(m_owner.m_hookCalls, (std::vector<bool>{false, false, true}));

    m_owner.m_bMayStep = false;
    m_engine.SetWaiting(false);
    m_owner.m_loop.OnWake();
    m_owner.m_loop.Post();
    QCoreApplication::sendPostedEvents(&m_owner, WM_TRANSFER_STEP);
    EXPECT_EQ(m_owner.m_nSteps, 3);
    EXPECT_FALSE(m_owner.m_loop.IsQueued());
}

// A hook that ends the run (the window closing) leaves the rest to nobody: no step is queued.
TEST_F(StepLoopTest, AHookThatEndsTheRunStopsItBeforeTheNextStep)
{
    m_engine.SetWaiting(false);
    m_owner.m_betweenSteps = [&](bool) { return m_owner.m_nSteps < 2; };
    m_owner.m_loop.Run();
    EXPECT_EQ(m_owner.m_nSteps, 2);
    EXPECT_FALSE(m_owner.m_loop.IsQueued());
    m_engine.SetIdle();
}

}  // namespace
