// The window hook: which handler sees which message, in which order, with
// which result.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QWidget>

#include "shell/WindowMessage.h"
#include "shell/cSubCls.h"

using namespace quillet;

namespace {

constexpr int kMsgA = 1025;
constexpr int kMsgB = 1100;
constexpr int kMsgC = 1200;

// A window whose own handling is recorded and answers messages with a result
// of its own.
class Window : public QWidget {
public:
    std::vector<std::string>* log = nullptr;
    std::int32_t ownResult = 7;
    bool ownReturn = true;
    std::function<void(QEvent*)> during;  // runs inside the own handling

    bool event(QEvent* e) override
    {
        if (e->type() >= QEvent::User) {
            if (log)
                log->push_back("own " + std::to_string(static_cast<int>(e->type())));
            if (auto* m = dynamic_cast<WindowMessage*>(e))
                m->result = ownResult;
            if (during)
                during(e);
            return ownReturn;
        }
        return QWidget::event(e);
    }
};

struct Call {
    std::string which;
    int msg;
    std::int32_t lReturnSeen;
    std::intptr_t wParam;
    std::intptr_t lParam;
    QObject* hWnd;
};

class Owner : public iSubCls {
public:
    std::vector<std::string>* log = nullptr;
    std::vector<Call> calls;
    // What the handlers do to their by-reference arguments.
    std::int32_t setHandled = 0;
    bool changeReturn = false;
    std::int32_t newReturn = 0;

    void iSubCls_Despues(std::int32_t& lReturn, QObject* hWnd, int uMsg, std::intptr_t wParam,
                         std::intptr_t lParam) override
    {
        if (log)
            log->push_back("despues " + std::to_string(uMsg));
        calls.push_back({"despues", uMsg, lReturn, wParam, lParam, hWnd});
        if (changeReturn)
            lReturn = newReturn;
    }
    void iSubCls_Antes(std::int32_t& lHandled, std::int32_t& lReturn, QObject* hWnd, int uMsg, std::intptr_t wParam,
                       std::intptr_t lParam) override
    {
        if (log)
            log->push_back("antes " + std::to_string(uMsg));
        calls.push_back({"antes", uMsg, lReturn, wParam, lParam, hWnd});
        EXPECT_EQ(lHandled, 0);
        EXPECT_EQ(lReturn, 0);
        lHandled = setHandled;
        if (changeReturn)
            lReturn = newReturn;
    }
};

// Sends a message synchronously; its result afterwards. The result starts at
// a value nobody else writes, to see whether anyone wrote it.
std::int32_t Send(QObject* to, int msg, std::intptr_t wParam = 11, std::intptr_t lParam = 22)
{
    WindowMessage m(msg, wParam, lParam);
    m.result = -12345;
    QCoreApplication::sendEvent(to, &m);
    return m.result;
}

class HookTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        window.log = &log;
        owner.log = &log;
    }
    std::vector<std::string> log;
    Window window;
    Owner owner;
};

TEST_F(HookTest, MessagesNotRegisteredPassUntouched)
{
    cSubCls hook;
    hook.AddMsg(kMsgA, false);
    hook.SubClass(&window, &owner, false);

    EXPECT_EQ(Send(&window, kMsgB), 7);
    EXPECT_TRUE(owner.calls.empty());
    EXPECT_EQ(log, (std::vector<std::string>{"own 1100"}));
}

TEST_F(HookTest, AfterModeRunsTheWindowFirstAndMayChangeTheResult)
{
    cSubCls hook;
    hook.AddMsg(kMsgA, false);
    hook.SubClass(&window, &owner, false);

    EXPECT_EQ(Send(&window, kMsgA, 3, 0x50001), 7);
    ASSERT_EQ(owner.calls.size(), 1u);
    const Call& c = owner.calls[0];
    EXPECT_EQ(c.which, "despues");
    EXPECT_EQ(c.msg, kMsgA);
    EXPECT_EQ(c.lReturnSeen, 7);
    EXPECT_EQ(c.wParam, 3);
    EXPECT_EQ(c.lParam, 0x50001);
    EXPECT_EQ(c.hWnd, &window);
    EXPECT_EQ(log, (std::vector<std::string>{"own 1025", "despues 1025"}));

    owner.changeReturn = true;
    owner.newReturn = -3;
    EXPECT_EQ(Send(&window, kMsgA), -3);
}

TEST_F(HookTest, BeforeModeHandledAnswersWithoutTheWindow)
{
    cSubCls hook;
    hook.AddMsg(kMsgB, true);
    hook.SubClass(&window, &owner, false);

    owner.setHandled = 5;  // any non-zero value counts
    owner.changeReturn = true;
    owner.newReturn = 42;
    EXPECT_EQ(Send(&window, kMsgB), 42);
    EXPECT_EQ(log, (std::vector<std::string>{"antes 1100"}));

    // Handled without touching lReturn: the answer is 0.
    log.clear();
    owner.changeReturn = false;
    EXPECT_EQ(Send(&window, kMsgB), 0);
    EXPECT_EQ(log, (std::vector<std::string>{"antes 1100"}));
}

TEST_F(HookTest, BeforeModeNotHandledKeepsTheWindowResult)
{
    cSubCls hook;
    hook.AddMsg(kMsgB, true);
    hook.SubClass(&window, &owner, false);

    owner.setHandled = 0;
    owner.changeReturn = true;
    owner.newReturn = 42;  // ignored: not handled
    EXPECT_EQ(Send(&window, kMsgB), 7);
    EXPECT_EQ(log, (std::vector<std::string>{"antes 1100", "own 1100"}));
}

TEST_F(HookTest, FirstRegistrationDecidesTheMode)
{
    cSubCls hook;
    hook.AddMsg(kMsgA, false);
    hook.AddMsg(kMsgB, true);
    hook.AddMsg(kMsgA, true);   // second registration: no effect
    hook.AddMsg(kMsgB, false);  // idem
    hook.SubClass(&window, &owner, false);

    Send(&window, kMsgA);
    Send(&window, kMsgB);
    EXPECT_EQ(log, (std::vector<std::string>{"own 1025", "despues 1025", "antes 1100", "own 1100"}));
}

TEST_F(HookTest, AllMessagesModeOffersEveryEventAfterTheWindow)
{
    cSubCls hook;
    hook.SubClass(&window, &owner, true);
    EXPECT_TRUE(hook.AllMsgs());

    EXPECT_EQ(Send(&window, kMsgC, 1, 2), 7);
    // A plain event: its result is whether the window handled it.
    window.ownReturn = false;
    QEvent plain(static_cast<QEvent::Type>(QEvent::User + 7));
    QCoreApplication::sendEvent(&window, &plain);

    std::vector<Call> user;
    for (const Call& c : owner.calls)
        if (c.msg >= QEvent::User)
            user.push_back(c);
    ASSERT_EQ(user.size(), 2u);
    EXPECT_EQ(user[0].which, "despues");
    EXPECT_EQ(user[0].lReturnSeen, 7);
    EXPECT_EQ(user[0].wParam, 1);
    EXPECT_EQ(user[0].lParam, 2);
    EXPECT_EQ(user[1].which, "despues");
    EXPECT_EQ(user[1].msg, QEvent::User + 7);
    EXPECT_EQ(user[1].lReturnSeen, 0);
    EXPECT_EQ(user[1].wParam, 0);
    EXPECT_EQ(user[1].lParam, 0);
    for (const Call& c : owner.calls)
        EXPECT_EQ(c.which, "despues") << "Antes is never called in all-messages mode";
}

TEST_F(HookTest, AddMsgWhileInstalledChangesNothing)
{
    cSubCls hook;
    hook.AddMsg(kMsgA, false);
    hook.SubClass(&window, &owner, false);
    hook.AddMsg(kMsgB, true);
    EXPECT_EQ(hook.MessageCount(), 1);

    owner.setHandled = 1;
    EXPECT_EQ(Send(&window, kMsgB), 7);
    EXPECT_TRUE(owner.calls.empty());
}

TEST_F(HookTest, RemovalTwiceAndReuseFromScratch)
{
    cSubCls hook;
    hook.AddMsg(kMsgA, false);
    hook.SubClass(&window, &owner, false);
    hook.UnSubclass();
    EXPECT_FALSE(hook.Subclassed());
    hook.UnSubclass();  // nothing to remove
    EXPECT_FALSE(hook.Subclassed());

    EXPECT_EQ(Send(&window, kMsgA), 7);
    EXPECT_TRUE(owner.calls.empty());

    // The registrations went with the removal.
    EXPECT_THROW(hook.SubClass(&window, &owner, false), HookError);
    EXPECT_FALSE(hook.Subclassed());

    // Used again: only what is registered now counts.
    hook.AddMsg(kMsgB, false);
    Window other;
    hook.SubClass(&other, &owner, false);
    Send(&window, kMsgB);
    Send(&other, kMsgA);
    EXPECT_TRUE(owner.calls.empty());
    EXPECT_EQ(Send(&other, kMsgB), 7);
    ASSERT_EQ(owner.calls.size(), 1u);
    EXPECT_EQ(owner.calls[0].hWnd, &other);
}

TEST_F(HookTest, DestroyingTheHookRemovesIt)
{
    auto hook = std::make_unique<cSubCls>();
    hook->AddMsg(kMsgA, false);
    hook->SubClass(&window, &owner, false);
    hook.reset();
    EXPECT_EQ(Send(&window, kMsgA), 7);
    EXPECT_TRUE(owner.calls.empty());
}

TEST_F(HookTest, WindowDestroyedBeforeTheHook)
{
    cSubCls hook;
    hook.AddMsg(kMsgA, false);
    {
        Window shortLived;
        hook.SubClass(&shortLived, &owner, false);
        EXPECT_EQ(hook.HookedObject(), &shortLived);
    }
    EXPECT_EQ(hook.HookedObject(), nullptr);
    hook.UnSubclass();
    EXPECT_FALSE(hook.Subclassed());
}

TEST_F(HookTest, UndefinedCallingOrdersAreRefused)
{
    cSubCls hook;
    EXPECT_THROW(hook.SubClass(&window, &owner, false), HookError) << "filtered without messages";
    hook.AddMsg(kMsgA, false);
    EXPECT_THROW(hook.SubClass(&window, &owner, true), HookError) << "all messages after AddMsg";
    EXPECT_THROW(hook.SubClass(nullptr, &owner, false), HookError);
    EXPECT_THROW(hook.SubClass(&window, nullptr, false), HookError);
    EXPECT_FALSE(hook.Subclassed());
    EXPECT_EQ(Send(&window, kMsgA), 7);
    EXPECT_TRUE(owner.calls.empty());

    hook.SubClass(&window, &owner, false);
    EXPECT_THROW(hook.SubClass(&window, &owner, false), HookError) << "installed twice";
    EXPECT_TRUE(hook.Subclassed());
    Send(&window, kMsgA);
    EXPECT_EQ(owner.calls.size(), 1u) << "still hooked once";
}

TEST_F(HookTest, RemovedDuringTheWindowsHandlingSkipsDespues)
{
    cSubCls hook;
    hook.AddMsg(kMsgA, false);
    hook.SubClass(&window, &owner, false);
    window.during = [&hook](QEvent*) { hook.UnSubclass(); };
    EXPECT_EQ(Send(&window, kMsgA), 7);
    EXPECT_TRUE(owner.calls.empty());
}

TEST_F(HookTest, ReenteredFromTheWindowsOwnHandling)
{
    cSubCls hook;
    hook.AddMsg(kMsgA, false);
    hook.AddMsg(kMsgB, false);
    hook.SubClass(&window, &owner, false);
    window.during = [this](QEvent* e) {
        if (e->type() == static_cast<QEvent::Type>(kMsgA)) {
            EXPECT_EQ(Send(&window, kMsgB, 5, 6), 7);
        }
    };
    EXPECT_EQ(Send(&window, kMsgA, 1, 2), 7);
    EXPECT_EQ(log, (std::vector<std::string>{"own 1025", "own 1100", "despues 1100", "despues 1025"}));
    ASSERT_EQ(owner.calls.size(), 2u);
    EXPECT_EQ(owner.calls[0].wParam, 5);
    EXPECT_EQ(owner.calls[1].wParam, 1);
}

TEST_F(HookTest, PostedMessagesArriveThroughTheHook)
{
    cSubCls hook;
    hook.AddMsg(kMsgA, false);
    hook.SubClass(&window, &owner, false);
    QCoreApplication::postEvent(&window, new WindowMessage(kMsgA, 9, MakeSelectLParam(1, 0x2745)));
    EXPECT_TRUE(owner.calls.empty());
    QCoreApplication::sendPostedEvents(&window);
    ASSERT_EQ(owner.calls.size(), 1u);
    EXPECT_EQ(owner.calls[0].wParam, 9);
    EXPECT_EQ(owner.calls[0].lParam, 0x27450001);
}

}  // namespace
