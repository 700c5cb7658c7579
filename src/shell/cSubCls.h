#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

#include <QObject>
#include <QPointer>

class QEvent;

namespace quillet {

// The callback interface of the window hook. A message is an event type;
// wParam and lParam are those of a WindowMessage and 0 for any other event.
class iSubCls {
public:
    virtual ~iSubCls() = default;

    // After mode: called after the window's own handling, with its result in
    // lReturn; what Despues leaves in lReturn is the message's result.
    virtual void iSubCls_Despues(std::int32_t& lReturn, QObject* hWnd, int uMsg, std::intptr_t wParam,
                                 std::intptr_t lParam) = 0;

    // Before mode: called before the window's own handling with lHandled and
    // lReturn at 0. Setting lHandled to non-zero answers the message with
    // lReturn and keeps the window's own handling from running.
    virtual void iSubCls_Antes(std::int32_t& lHandled, std::int32_t& lReturn, QObject* hWnd, int uMsg,
                               std::intptr_t wParam, std::intptr_t lParam) = 0;
};

// Raised for the calling orders the hook refuses.
class HookError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// The window hook: offers chosen messages (event types) of one widget to an
// owner, before or after the widget's own event handling. Installed as an
// event filter on the widget.
//
// Use: AddMsg one or more times, then SubClass with AllMsgs false; or
// SubClass with AllMsgs true and no AddMsg before it. Then UnSubclass; after
// that the object starts again from empty (registrations gone). Destroying
// the object removes the hook.
//
// Dispatch of one event of the hooked widget:
//  - the first registration of its type decides the mode; none: the event
//    goes to the widget untouched and no callback runs;
//  - before mode: Antes runs; handled -> the widget does not see the event
//    and the result is lReturn; otherwise the widget handles it and its own
//    result stands (Despues is not called);
//  - after mode (and every event in all-messages mode): the widget handles
//    it, then Despues runs with that result and may change it.
// The result of a WindowMessage is stored in its result field; for other
// events it is whether the widget's event() handled it (1 or 0).
//
// The owner is not owned and must outlive the installed hook. The hook
// takes the place of the widget's own event dispatch for hooked events, so
// event filters installed on the widget before the hook do not see them.
class cSubCls : public QObject {
    Q_OBJECT

public:
    cSubCls() = default;
    ~cSubCls() override;

    // Registers one message; Antes true for before mode, false for after
    // mode. No effect while the hook is installed.
    void AddMsg(int MsgNum, bool Antes);

    // Installs the hook on hWndSub for Owner. Throws HookError (and installs
    // nothing) without a widget or owner, when already installed, in
    // filtered mode with nothing registered, and in all-messages mode after
    // AddMsg.
    void SubClass(QObject* hWndSub, iSubCls* Owner, bool AllMsgs);

    // Removes the hook; nothing when it is not installed. An activation in
    // progress then returns the widget's result without calling Despues.
    void UnSubclass();

    bool Subclassed() const { return mSubclassed; }
    bool AllMsgs() const { return mAllMsgs; }
    QObject* HookedObject() const { return mHWnd; }
    int MessageCount() const { return static_cast<int>(mMsgs.size()); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Registration {
        int msg;
        bool antes;
    };

    bool mAllMsgs = false;
    bool mSubclassed = false;
    QPointer<QObject> mHWnd;
    iSubCls* mOwner = nullptr;
    std::vector<Registration> mMsgs;
    // Changes on every install and removal, so an activation can tell
    // whether the hook it started under is still in place.
    std::uint64_t mGeneration = 0;
};

}  // namespace quillet
