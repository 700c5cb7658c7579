#include "shell/cSubCls.h"

#include <QCoreApplication>
#include <QEvent>

#include "shell/WindowMessage.h"

namespace quillet {

namespace {

void MessageParams(QEvent* event, std::intptr_t& wParam, std::intptr_t& lParam)
{
    if (auto* m = dynamic_cast<WindowMessage*>(event)) {
        wParam = m->wParam;
        lParam = m->lParam;
    } else {
        wParam = 0;
        lParam = 0;
    }
}

void StoreResult(QEvent* event, std::int32_t result)
{
    if (auto* m = dynamic_cast<WindowMessage*>(event))
        m->result = result;
}

}  // namespace

cSubCls::~cSubCls()
{
    UnSubclass();
}

void cSubCls::AddMsg(int MsgNum, bool Antes)
{
    if (mSubclassed)
        return;
    mMsgs.push_back({MsgNum, Antes});
}

void cSubCls::SubClass(QObject* hWndSub, iSubCls* Owner, bool AllMsgs)
{
    if (mSubclassed)
        throw HookError(QCoreApplication::translate("cSubCls", "钩子已安装；请先移除再重新安装。").toStdString());
    if (!hWndSub)
        throw HookError(QCoreApplication::translate("cSubCls", "钩子需要一个窗口才能安装。").toStdString());
    if (!Owner)
        throw HookError(QCoreApplication::translate("cSubCls", "钩子需要一个可调用的所有者。").toStdString());
    if (AllMsgs && !mMsgs.empty())
        throw HookError(QCoreApplication::translate("cSubCls", "已登记消息时，钩子不能传递所有消息。").toStdString());
    if (!AllMsgs && mMsgs.empty())
        throw HookError(QCoreApplication::translate("cSubCls", "钩子没有可传递的已登记消息。").toStdString());

    mAllMsgs = AllMsgs;
    mHWnd = hWndSub;
    mOwner = Owner;
    ++mGeneration;
    hWndSub->installEventFilter(this);
    mSubclassed = true;
}

void cSubCls::UnSubclass()
{
    if (!mSubclassed)
        return;
    if (mHWnd)
        mHWnd->removeEventFilter(this);
    ++mGeneration;
    mMsgs.clear();
    mOwner = nullptr;
    mHWnd = nullptr;
    mAllMsgs = false;
    mSubclassed = false;
}

bool cSubCls::eventFilter(QObject* watched, QEvent* event)
{
    if (!mSubclassed || watched != mHWnd)
        return false;

    const int uMsg = static_cast<int>(event->type());
    bool antes = false;
    if (!mAllMsgs) {
        const Registration* found = nullptr;
        for (const Registration& r : mMsgs) {
            if (r.msg == uMsg) {
                found = &r;
                break;
            }
        }
        if (!found)
            return false;  // the widget handles it as if there were no hook
        antes = found->antes;
    }

    std::intptr_t wParam = 0;
    std::intptr_t lParam = 0;
    MessageParams(event, wParam, lParam);
    iSubCls* owner = mOwner;

    if (antes) {
        std::int32_t lHandled = 0;
        std::int32_t lReturn = 0;
        owner->iSubCls_Antes(lHandled, lReturn, watched, uMsg, wParam, lParam);
        if (lHandled == 0)
            return false;  // the widget's own handling and result stand
        StoreResult(event, lReturn);
        return true;
    }

    // After mode: the widget's own handling first.
    const std::uint64_t generation = mGeneration;
    QPointer<QObject> alive(watched);
    const bool handled = watched->event(event);
    if (!alive)
        return true;  // the widget is gone; nothing more to offer

    std::int32_t lReturn = handled ? 1 : 0;
    if (auto* m = dynamic_cast<WindowMessage*>(event))
        lReturn = m->result;
    // Removed (or removed and installed again) meanwhile: the widget's result
    // stands and Despues is not called.
    if (generation == mGeneration && mSubclassed) {
        owner->iSubCls_Despues(lReturn, watched, uMsg, wParam, lParam);
        StoreResult(event, lReturn);
    }
    return true;
}

}  // namespace quillet
